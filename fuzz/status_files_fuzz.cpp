// The status library's readers fed one input as every file they read: the
// modem, proxy and radio JSON files and a power supply's attribute files.
#include "vtl/battery.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

struct Files {
    QTemporaryDir directory;
    QString json = directory.filePath(QStringLiteral("status.json"));
    QString supply = directory.filePath(QStringLiteral("power_supply/BAT0"));

    Files()
    {
        QDir().mkpath(supply);
        for (const char* name : {"VANTREL_MODEM_STATUS", "VANTREL_MODEM_SETTINGS", "VANTREL_PROXY_STATUS",
                                 "VANTREL_GOTENNA_STATUS", "VANTREL_GOTENNA_SETTINGS"})
            qputenv(name, json.toLocal8Bit());
    }
};

void write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Files files;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    write(files.json, bytes);
    for (const char* attribute : {"/capacity", "/status", "/type", "/present"})
        write(files.supply + QLatin1String(attribute), bytes);
    const vtl::ModemInfo modem = vtl::read_modem(QString(), QString());
    if (modem.compact().isEmpty())
        std::abort();
    const vtl::RadioInfo radio = vtl::read_radio();
    const vtl::BatteryInfo battery = vtl::read_battery(files.directory.filePath(QStringLiteral("power_supply")));
    if (battery.available() && battery.percent > 100)
        std::abort();
    battery.report();
    battery.compact();
    // Whatever the files hold, the object is JSON with nothing a terminal acts on.
    const QByteArray json = vtl::status_json(battery, modem, radio);
    if (!json.endsWith("}\n") || json.contains('\x7f') || !QJsonDocument::fromJson(json).isObject())
        std::abort();
    return 0;
}
