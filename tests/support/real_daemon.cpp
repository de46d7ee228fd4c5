#include "real_daemon.h"

#include "child_process.h"

#include "vtl/wifi.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <stdexcept>

QString system_program(const char* name)
{
    const QString program = QStandardPaths::findExecutable(QString::fromLatin1(name));
    if (!program.isEmpty())
        return program;
    return QStandardPaths::findExecutable(QString::fromLatin1(name), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

RealDaemon::RealDaemon(const QByteArray& networks, const QString& interface) : networks_(networks), interface_(interface)
{
}

RealDaemon::~RealDaemon() = default;

QString RealDaemon::start()
{
    const QString program = system_program("wpa_supplicant");
    if (program.isEmpty())
        return QStringLiteral("wpa_supplicant is not installed");
    QFile file(config_path());
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write ") + config_path();
    file.write("ctrl_interface=" + directory_.filePath(QStringLiteral("ctrl")).toLocal8Bit()
               + "\nupdate_config=1\nap_scan=0\n" + networks_);
    file.close();
    process_ = std::make_unique<ChildProcess>(
        QStringList{program, QStringLiteral("-D"), QStringLiteral("wired"), QStringLiteral("-i"),
                    interface_, QStringLiteral("-c"), config_path()},
        QProcessEnvironment::systemEnvironment());
    if (!process_->started())
        return QStringLiteral("wpa_supplicant did not start");
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        try {
            if (ask("PING") == "PONG")
                return QString();
        } catch (const std::runtime_error&) {
            // Its socket appears a moment after the process does.
        }
        QThread::msleep(50);
    }
    return QStringLiteral("wpa_supplicant did not answer PING");
}

QByteArray RealDaemon::config() const
{
    QFile file(config_path());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray RealDaemon::ask(const QByteArray& request) const
{
    return vtl::wifi::Client(socket_path()).command(request, 3000);
}
