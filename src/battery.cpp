#include "vtl/battery.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vtl {
namespace {

const QString middle_dot = QStringLiteral(" \u00b7 ");
// Host names of mesh peers that announce none: gotenna-0000000000ff.mesh.local
const QString peer_host_prefix = QStringLiteral("gotenna-");
const QString mesh_domain_suffix = QStringLiteral(".mesh.local");

// A sysfs attribute is at most a page; the JSON files are small records.
constexpr qsizetype attribute_limit = 4096;
constexpr qsizetype json_limit = 65536;

class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor()
    {
        if (descriptor_ >= 0)
            ::close(descriptor_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

// The bytes of a regular file of at most `limit` bytes; nothing for anything
// else, for a file that holds more, or one that cannot be read. The prompt
// runs this at every redraw: it opens without blocking (a FIFO would wait for
// a writer for ever), reads nothing but regular files (a device may never
// end), and reads the limit plus one byte, never trusting st_size (sysfs
// gives 4096 for every attribute, whatever it holds). A FIFO is never even
// opened: that alone would release a writer waiting on it.
QByteArray read_small_file(const QString& path, qsizetype limit)
{
    if (path.isEmpty())
        return QByteArray();
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return QByteArray();
    // Checked again on what was opened: the file may have been swapped meanwhile.
    const Descriptor file(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return QByteArray();
    QByteArray bytes(limit + 1, Qt::Uninitialized);
    qsizetype size = 0;
    while (size < bytes.size()) {
        const ssize_t got = ::read(file.get(), bytes.data() + size, size_t(bytes.size() - size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return QByteArray();
        if (got == 0)
            break;
        size += got;
    }
    if (size > limit)
        return QByteArray();
    bytes.truncate(size);
    return bytes;
}

QString read_value(const QString& path)
{
    return QString::fromUtf8(read_small_file(path, attribute_limit)).trimmed();
}

BatteryInfo supply(const QString& path)
{
    const QString text = read_value(path + QStringLiteral("/capacity"));
    // QString's number parser stops at a NUL; a number holds none.
    bool ok = !text.contains(QChar(u'\0'));
    const int capacity = ok ? text.toInt(&ok, 10) : 0;
    if (!ok)
        return BatteryInfo();
    BatteryInfo info;
    info.percent = qBound(0, capacity, 100);
    info.status = read_value(path + QStringLiteral("/status"));
    return info;
}

// A non-empty argument wins; a variable that is set, even empty, comes next.
QString chosen_path(const QString& argument, const char* variable, const QString& fallback)
{
    if (!argument.isEmpty())
        return argument;
    return qEnvironmentVariableIsSet(variable) ? qEnvironmentVariable(variable) : fallback;
}

QString home_file(const char* name)
{
    return QDir::home().filePath(QStringLiteral(".config/vantrel-corvane/") + QLatin1String(name));
}

// Files that another process may be rewriting: anything but a whole JSON object reads as empty.
QJsonObject read_json_object(const QString& path)
{
    return QJsonDocument::fromJson(read_small_file(path, json_limit)).object();
}

QString text_member(const QJsonObject& object, const char* key, const QString& fallback)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString() : fallback;
}

bool boolean_member(const QJsonObject& object, const char* key, bool fallback)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isBool() ? value.toBool() : fallback;
}

int whole_member(const QJsonObject& object, const char* key, int fallback)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    const bool whole = std::trunc(number) == number;
    const bool fits = number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max();
    return whole && fits ? int(number) : fallback;
}

// Identifiers are unsigned 64-bit; JSON carries them as doubles.
std::uint64_t identifier(const QJsonValue& value)
{
    const double number = value.isDouble() ? value.toDouble() : 0.0;
    if (!(number > 0.0))
        return 0;
    if (number >= 18446744073709551616.0)
        return std::numeric_limits<std::uint64_t>::max();
    return std::uint64_t(number);
}

QString identifier_text(const QJsonValue& value, const QString& placeholder)
{
    const std::uint64_t number = identifier(value);
    return number == 0 ? placeholder : QString::number(number);
}

QString peer_line(const QJsonObject& peer)
{
    QString host = text_member(peer, "dnsName", QString());
    if (host.isEmpty()) {
        const QString digits = QString::number(identifier(peer.value(QLatin1String("gid"))), 16);
        host = peer_host_prefix + digits.rightJustified(12, QLatin1Char('0')) + mesh_domain_suffix;
    }
    return host + QStringLiteral("  ") + text_member(peer, "ipv6", QString());
}

QString peer_lines(const QJsonValue& peers)
{
    QStringList lines;
    for (const QJsonValue& peer : peers.toArray())
        lines.append(peer_line(peer.toObject()));
    return lines.join(QLatin1Char('\n'));
}

} // namespace

QString BatteryInfo::percentage() const
{
    return available() ? QString::number(percent) + QLatin1Char('%') : QStringLiteral("--");
}

QString BatteryInfo::compact() const
{
    const QString line = QStringLiteral("Battery ") + percentage();
    if (status.compare(QLatin1String("Charging"), Qt::CaseInsensitive) == 0)
        return line + middle_dot + QStringLiteral("charging");
    if (status.compare(QLatin1String("Full"), Qt::CaseInsensitive) == 0)
        return line + middle_dot + QStringLiteral("full");
    return line;
}

QString BatteryInfo::report() const
{
    if (!available())
        return QStringLiteral("Battery information is unavailable.");
    const QString line = QStringLiteral("Battery: ") + percentage();
    if (status.isEmpty() || status.compare(QLatin1String("Unknown"), Qt::CaseInsensitive) == 0)
        return line;
    return line + QStringLiteral("\nStatus: ") + status;
}

QString prompt_line(const BatteryInfo& battery, const ModemInfo& modem)
{
    return battery.percentage() + middle_dot + modem.compact();
}

QString report_text(const BatteryInfo& battery, const ModemInfo& modem)
{
    return battery.report() + QLatin1Char('\n') + modem.compact();
}

BatteryInfo read_battery(const QString& requested_root)
{
    const QString root = chosen_path(requested_root, "VANTREL_BATTERY_ROOT", QStringLiteral("/sys/class/power_supply"));
    BatteryInfo fallback;
    const QDir directory(root);
    for (const QString& name : directory.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        // Read where the entry was listed: an empty root is the current directory, not "/".
        const QString path = directory.filePath(name);
        if (read_value(path + QStringLiteral("/present")) == QLatin1String("0"))
            continue;
        const BatteryInfo info = supply(path);
        if (!info.available())
            continue;
        if (read_value(path + QStringLiteral("/type")).compare(QLatin1String("Battery"), Qt::CaseInsensitive) == 0)
            return info;
        if (!fallback.available())
            fallback = info;
    }
    return fallback;
}

QString ModemInfo::compact() const
{
    if (!selected || policy == QLatin1String("off"))
        return QStringLiteral("Modem off");
    if (state == QLatin1String("dialing") || state == QLatin1String("negotiating"))
        return QStringLiteral("Modem dialing");
    if (state == QLatin1String("disconnecting"))
        return QStringLiteral("Modem hanging up");
    if (state == QLatin1String("ready"))
        return QStringLiteral("Modem PPP ready");
    if (state == QLatin1String("online"))
        return QStringLiteral("Modem connected");
    if (state == QLatin1String("failed"))
        return QStringLiteral("Modem failed");
    if (policy == QLatin1String("auto"))
        return QStringLiteral("Modem auto") + middle_dot + QStringLiteral("idle");
    return QStringLiteral("Modem disconnected");
}

ModemInfo read_modem(const QString& status_path, const QString& settings_path)
{
    const QJsonObject settings = read_json_object(
        chosen_path(settings_path, "VANTREL_MODEM_SETTINGS", home_file("modem.json")));
    const QJsonObject status = read_json_object(
        chosen_path(status_path, "VANTREL_MODEM_STATUS", QStringLiteral("/run/vt-usb/modem-status.json")));
    ModemInfo info;
    info.number = text_member(settings, "number", text_member(status, "number", info.number));
    info.idle_seconds = whole_member(settings, "idle_seconds", whole_member(status, "idle_seconds", info.idle_seconds));
    info.selected = boolean_member(status, "selected", info.selected);
    info.policy = text_member(status, "policy", info.policy);
    info.state = text_member(status, "state", info.state);
    info.call_number = text_member(status, "call_number", info.number);
    info.connections = whole_member(status, "connections", info.connections);
    info.connected_seconds = whole_member(status, "connected_seconds", info.connected_seconds);
    info.idle_remaining = whole_member(status, "idle_remaining", info.idle_remaining);
    info.message = text_member(status, "message", info.message);
    const QJsonObject proxy = read_json_object(
        chosen_path(QString(), "VANTREL_PROXY_STATUS", QStringLiteral("/run/vt-usb/proxy-status.json")));
    info.sharing = boolean_member(status, "sharing", info.sharing);
    info.sharing_active = boolean_member(proxy, "sharing_active", info.sharing_active);
    info.wifi_ip = text_member(proxy, "wifi_ip", info.wifi_ip);
    info.proxy_port = whole_member(proxy, "proxy_port", info.proxy_port);
    info.sharing_message = text_member(proxy, "sharing_message", info.sharing_message);
    return info;
}

RadioInfo read_radio()
{
    const QJsonObject status = read_json_object(
        chosen_path(QString(), "VANTREL_GOTENNA_STATUS", QStringLiteral("/run/vt-usb/gotenna-status.json")));
    const QJsonObject settings = read_json_object(
        chosen_path(QString(), "VANTREL_GOTENNA_SETTINGS", home_file("gotenna.json")));
    RadioInfo info;
    info.state = text_member(status, "state", info.state);
    info.name = text_member(settings, "nodeName", info.name);
    info.gid = identifier_text(settings.value(QLatin1String("gid")), QStringLiteral("assigned on first connection"));
    info.ipv4 = text_member(status, "ipv4", info.ipv4);
    info.ipv6 = text_member(status, "ipv6", info.ipv6);
    info.gateway = identifier_text(status.value(QLatin1String("gateway")), QStringLiteral("No Internet gateway discovered"));
    info.peers = peer_lines(status.value(QLatin1String("peers")));
    info.message = text_member(status, "lastError", info.message);
    return info;
}

} // namespace vtl
