#include "vtl/wifi.h"

#include <QElapsedTimer>
#include <QList>
#include <QStringDecoder>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vtl::wifi {
namespace {

constexpr int reply_timeout_ms = 3000;
constexpr int reply_capacity = 65536;

std::runtime_error failure(const QString& message)
{
    return std::runtime_error(message.toStdString());
}

// Read right after the failing call, before any clean-up can change errno.
QString system_error()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool valid_request(const QByteArray& request)
{
    return !request.isEmpty() && !request.contains('\0') && !request.contains('\n')
        && !request.contains('\r');
}

sockaddr_un address_of(const QByteArray& path, socklen_t& length)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), path.size() + 1);
    length = socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return address;
}

// Owns one exchange's descriptor and temporary name; both go on every path out.
class TemporarySocket {
public:
    TemporarySocket(int descriptor, QByteArray path)
        : descriptor_(descriptor), path_(std::move(path))
    {
    }
    ~TemporarySocket()
    {
        ::close(descriptor_);
        ::unlink(path_.constData());
    }
    TemporarySocket(const TemporarySocket&) = delete;
    TemporarySocket& operator=(const TemporarySocket&) = delete;

    int descriptor() const { return descriptor_; }
    const QByteArray& path() const { return path_; }

private:
    int descriptor_;
    QByteArray path_;
};

QByteArray temporary_name()
{
    static std::atomic<unsigned int> serial{0};
    return "/tmp/vantrel-wpa-" + QByteArray::number(qint64(::getpid())) + '-'
        + QByteArray::number(serial++);
}

void bind_private(const TemporarySocket& socket)
{
    // A file of this name can only be left over by a killed process that had our pid.
    ::unlink(socket.path().constData());
    socklen_t length = 0;
    const sockaddr_un local = address_of(socket.path(), length);
    if (::bind(socket.descriptor(), reinterpret_cast<const sockaddr*>(&local), length) != 0)
        throw failure(QStringLiteral("Could not bind temporary Wi-Fi control socket: ") + system_error());
    if (::chmod(socket.path().constData(), 0600) != 0)
        throw failure(QStringLiteral("Could not protect temporary Wi-Fi control socket: ") + system_error());
}

void connect_to(const TemporarySocket& socket, const QByteArray& server)
{
    socklen_t length = 0;
    const sockaddr_un peer = address_of(server, length);
    if (::connect(socket.descriptor(), reinterpret_cast<const sockaddr*>(&peer), length) != 0)
        throw failure(QStringLiteral("Could not connect to wpa_supplicant: ") + system_error());
}

QByteArray exchange(const TemporarySocket& socket, const QByteArray& request, int timeout_ms)
{
    const ssize_t sent = ::send(socket.descriptor(), request.constData(), size_t(request.size()), 0);
    if (sent != ssize_t(request.size()))
        throw failure(QStringLiteral("Could not send Wi-Fi command: ") + system_error());
    pollfd ready{socket.descriptor(), POLLIN, 0};
    if (::poll(&ready, 1, timeout_ms) <= 0)
        throw failure(QStringLiteral("Timed out waiting for wpa_supplicant."));
    QByteArray reply(reply_capacity, Qt::Uninitialized);
    const ssize_t received = ::recv(socket.descriptor(), reply.data(), size_t(reply.size()), 0);
    if (received < 0)
        throw failure(QStringLiteral("Could not read Wi-Fi response: ") + system_error());
    reply.resize(qsizetype(received));
    return reply;
}

void strip_line_end(QByteArray& reply)
{
    while (reply.endsWith('\n') || reply.endsWith('\r'))
        reply.chop(1);
}

int environment_milliseconds(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value >= 0 ? value : fallback;
}

int lowercase_hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The byte that the daemon's escape at `text[at]` stands for, and its length;
// length 0 when there is no escape there.
std::pair<char, int> unescape_at(const QByteArray& text, qsizetype at)
{
    if (text.at(at) != '\\' || at + 1 >= text.size())
        return {0, 0};
    switch (text.at(at + 1)) {
    case '"': return {'"', 2};
    case '\\': return {'\\', 2};
    case 't': return {'\t', 2};
    case 'n': return {'\n', 2};
    case 'r': return {'\r', 2};
    case 'e': return {'\x1b', 2};
    case 'x': break;
    default: return {0, 0};
    }
    if (at + 3 >= text.size())
        return {0, 0};
    const int high = lowercase_hex_digit(text.at(at + 2));
    const int low = lowercase_hex_digit(text.at(at + 3));
    if (high < 0 || low < 0)
        return {0, 0};
    return {char(high * 16 + low), 4};
}

// The daemon escapes every SSID byte outside printable ASCII. The raw bytes
// are the name when they are UTF-8; otherwise the escaped text is kept, so
// that the network can still be named on the command line.
QString decode_ssid(const QByteArray& field)
{
    QByteArray raw;
    raw.reserve(field.size());
    for (qsizetype at = 0; at < field.size();) {
        const auto [byte, length] = unescape_at(field, at);
        raw.append(length > 0 ? byte : field.at(at));
        at += std::max(length, 1);
    }
    // A byte-order mark at the start is part of the name, not a hint to drop.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = utf8(raw);
    return utf8.hasError() ? QString::fromUtf8(field) : text;
}

QByteArray field(const QByteArray& line, int index)
{
    if (index < 0)
        return QByteArray();
    const QList<QByteArray> columns = line.split('\t');
    return index < columns.size() ? columns.at(index) : QByteArray();
}

int decimal(const QByteArray& text, bool* ok)
{
    return text.toInt(ok, 10);
}

Security classify(const QString& flags)
{
    const auto has = [&flags](const char* word) {
        return flags.contains(QLatin1String(word), Qt::CaseInsensitive);
    };
    if (has("EAP") || has("WEP"))
        return Security::Unsupported;
    if (has("PSK"))
        return Security::Personal;
    if (has("SAE") || has("WPA") || has("RSN"))
        return Security::Unsupported;
    return Security::Open;
}

Network* find_ssid(std::vector<Network>& items, const QString& ssid)
{
    const auto found = std::find_if(items.begin(), items.end(),
                                    [&ssid](const Network& item) { return item.ssid == ssid; });
    return found == items.end() ? nullptr : &*found;
}

// Of several access points with one name the strongest stays, the first of equals.
void merge_scanned(std::vector<Network>& result, const QByteArray& line)
{
    Network item;
    bool frequency_ok = false;
    bool signal_ok = false;
    item.bssid = QString::fromUtf8(field(line, 0));
    item.frequency = decimal(field(line, 1), &frequency_ok);
    item.signal = decimal(field(line, 2), &signal_ok);
    item.flags = QString::fromUtf8(field(line, 3));
    item.ssid = decode_ssid(field(line, 4));
    if (item.ssid.isEmpty() || !frequency_ok || !signal_ok)
        return;
    item.security = classify(item.flags);
    Network* duplicate = find_ssid(result, item.ssid);
    if (!duplicate) {
        result.push_back(item);
    } else if (item.signal > duplicate->signal) {
        item.saved_id = duplicate->saved_id;
        item.current = duplicate->current;
        *duplicate = item;
    }
}

void merge_saved(std::vector<Network>& result, const QByteArray& line, const Status& status)
{
    bool id_ok = false;
    const int id = decimal(field(line, 0), &id_ok);
    const QString ssid = decode_ssid(field(line, 1));
    if (!id_ok || ssid.isEmpty())
        return;
    Network* entry = find_ssid(result, ssid);
    if (!entry) {
        Network hidden;
        hidden.ssid = ssid;
        result.push_back(hidden);
        entry = &result.back();
    }
    entry->saved_id = id;
    entry->current = id == status.saved_id
        || (!status.ssid.isEmpty() && status.ssid == ssid && status.state == QLatin1String("COMPLETED"));
}

// Current first, then saved, then by falling signal.
bool listed_before(const Network& left, const Network& right)
{
    if (left.current != right.current)
        return left.current;
    if ((left.saved_id >= 0) != (right.saved_id >= 0))
        return left.saved_id >= 0;
    return left.signal > right.signal;
}

QByteArray with_id(const char* request, int id)
{
    return QByteArray(request) + ' ' + QByteArray::number(id);
}

// The daemon takes every byte between the outer quotes as it stands, so the
// password goes in unchanged; only bytes that would end the request are refused.
QByteArray quote_secret(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    if (bytes.contains('\0') || bytes.contains('\n') || bytes.contains('\r'))
        throw failure(QStringLiteral("Wi-Fi passwords cannot contain NUL or newline characters."));
    return '"' + bytes + '"';
}

int connect_timeout(int fallback)
{
    return environment_milliseconds("VANTREL_WIFI_CONNECT_TIMEOUT_MS", fallback);
}

} // namespace

Client::Client(QString socket_path) : socket_path_(std::move(socket_path))
{
    if (socket_path_.isEmpty())
        socket_path_ = qEnvironmentVariable("VANTREL_WPA_SOCKET", QStringLiteral("/run/wpa_supplicant/wlan0"));
}

QByteArray Client::command(const QByteArray& request, int timeout_ms) const
{
    if (!valid_request(request))
        throw failure(QStringLiteral("Invalid wpa_supplicant control command."));
    const QByteArray server = socket_path_.toLocal8Bit();
    if (server.size() >= qsizetype(sizeof(sockaddr_un::sun_path)))
        throw failure(QStringLiteral("Wi-Fi control socket path is too long."));
    const int descriptor = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        throw failure(QStringLiteral("Could not open Wi-Fi control socket: %1").arg(system_error()));
    const TemporarySocket socket(descriptor, temporary_name());
    bind_private(socket);
    connect_to(socket, server);
    QByteArray reply = exchange(socket, request, timeout_ms);
    strip_line_end(reply);
    return reply;
}

void Client::require_ok(const QByteArray& reply, const char* operation)
{
    if (reply == "OK")
        return;
    throw failure(QStringLiteral("Could not %1: %2").arg(QLatin1String(operation), QString::fromUtf8(reply)));
}

void Client::send_expecting_ok(const QByteArray& request, const char* operation) const
{
    require_ok(command(request, reply_timeout_ms), operation);
}

// For clean-up that must never replace the failure that called for it.
void Client::send_quietly(const QByteArray& request) const
{
    try {
        command(request, reply_timeout_ms);
    } catch (const std::runtime_error&) {
    }
}

Status Client::status() const
{
    return parse_status(command("STATUS", reply_timeout_ms));
}

std::vector<Network> Client::networks(bool scan) const
{
    if (scan) {
        const QByteArray reply = command("SCAN", reply_timeout_ms);
        // A scan already running serves as well as a new one.
        if (!reply.startsWith("FAIL-BUSY"))
            require_ok(reply, "start Wi-Fi scan");
        QThread::msleep(environment_milliseconds("VANTREL_WIFI_SCAN_DELAY_MS", 1400));
    }
    const QByteArray scanned = command("SCAN_RESULTS", reply_timeout_ms);
    const QByteArray saved = command("LIST_NETWORKS", reply_timeout_ms);
    return parse_networks(scanned, saved, status());
}

void Client::wait_connected(const QString& ssid, int timeout_ms) const
{
    if (timeout_ms < 1)
        return;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeout_ms) {
        const Status current = status();
        if (current.state == QLatin1String("COMPLETED") && current.ssid == ssid)
            return;
        QThread::msleep(400);
    }
    throw failure(QStringLiteral("Timed out connecting to %1.").arg(ssid));
}

// SELECT_NETWORK disables every other profile in the daemon, and the next
// SAVE_CONFIG would write that down: note which were enabled before it.
std::vector<int> Client::enabled_profiles(int except) const
{
    std::vector<int> ids;
    for (const QByteArray& line : command("LIST_NETWORKS", reply_timeout_ms).split('\n')) {
        bool ok = false;
        const int id = decimal(field(line, 0), &ok);
        if (ok && id != except && !field(line, 3).contains("[DISABLED]"))
            ids.push_back(id);
    }
    return ids;
}

// Best effort: a profile left disabled is less harm than a lost connection.
void Client::enable_again(const std::vector<int>& ids) const
{
    for (const int id : ids)
        send_quietly(with_id("ENABLE_NETWORK", id) + " no-connect");
}

void Client::connect_saved(int id, const QString& ssid, int timeout_ms) const
{
    if (id < 0)
        throw failure(QStringLiteral("The selected network is not saved."));
    const std::vector<int> others = enabled_profiles(id);
    send_expecting_ok(with_id("SELECT_NETWORK", id), "select saved Wi-Fi network");
    wait_connected(ssid, connect_timeout(timeout_ms));
    enable_again(others);
}

void Client::configure(int id, const QString& ssid, Security security, const QString& password) const
{
    const QByteArray set = with_id("SET_NETWORK", id);
    send_expecting_ok(set + " ssid " + encode_ssid(ssid), "set Wi-Fi network name");
    if (security == Security::Personal) {
        send_expecting_ok(set + " key_mgmt WPA-PSK", "set WPA security");
        send_expecting_ok(set + " psk " + encode_password(password), "set WPA password");
    } else {
        send_expecting_ok(set + " key_mgmt NONE", "set open-network security");
    }
    send_expecting_ok(with_id("ENABLE_NETWORK", id), "enable Wi-Fi network");
}

void Client::connect_new(const QString& ssid, Security security, const QString& password, int timeout_ms) const
{
    if (ssid.isEmpty())
        throw failure(QStringLiteral("The network name cannot be empty."));
    if (security == Security::Unsupported)
        throw failure(QStringLiteral("Vantrel does not configure enterprise, WEP, or SAE-only networks yet."));
    const qsizetype password_length = password.toUtf8().size();
    if (security == Security::Personal && (password_length < 8 || password_length > 63))
        throw failure(QStringLiteral("A WPA password must contain 8 to 63 UTF-8 bytes."));
    bool id_ok = false;
    const int id = decimal(command("ADD_NETWORK", reply_timeout_ms), &id_ok);
    if (!id_ok || id < 0)
        throw failure(QStringLiteral("wpa_supplicant did not create a network profile."));
    std::vector<int> others;
    bool others_disabled = false;
    try {
        configure(id, ssid, security, password);
        others = enabled_profiles(id);
        send_expecting_ok(with_id("SELECT_NETWORK", id), "select Wi-Fi network");
        others_disabled = true;
        wait_connected(ssid, connect_timeout(timeout_ms));
        others_disabled = false;
        enable_again(others);
        send_expecting_ok("SAVE_CONFIG", "save Wi-Fi network");
    } catch (...) {
        // A half-made profile must not stay behind to be saved by someone later.
        send_quietly(with_id("REMOVE_NETWORK", id));
        if (others_disabled)
            enable_again(others);
        throw;
    }
}

void Client::disconnect() const
{
    send_expecting_ok("DISCONNECT", "disconnect Wi-Fi");
}

void Client::forget(const QString& ssid) const
{
    const QByteArray saved = command("LIST_NETWORKS", reply_timeout_ms);
    std::vector<int> ids;
    for (const Network& item : parse_networks(QByteArray(), saved, status())) {
        if (item.ssid == ssid && item.saved_id >= 0)
            ids.push_back(item.saved_id);
    }
    if (ids.empty())
        throw failure(QStringLiteral("%1 is not a saved network.").arg(ssid));
    for (const int id : ids)
        send_expecting_ok(with_id("REMOVE_NETWORK", id), "remove Wi-Fi network");
    send_expecting_ok("SAVE_CONFIG", "save removed Wi-Fi network");
}

Status Client::parse_status(const QByteArray& text)
{
    Status result;
    for (const QByteArray& line : text.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArray key = line.left(equals);
        const QByteArray value = line.mid(equals + 1);
        if (key == "wpa_state") {
            result.state = QString::fromUtf8(value);
        } else if (key == "ssid") {
            result.ssid = decode_ssid(value);
        } else if (key == "ip_address") {
            result.address = QString::fromUtf8(value);
        } else if (key == "id") {
            bool ok = false;
            const int id = decimal(value, &ok);
            if (ok)
                result.saved_id = id;
        }
    }
    return result;
}

std::vector<Network> Client::parse_networks(const QByteArray& scan, const QByteArray& saved, const Status& status)
{
    std::vector<Network> result;
    for (const QByteArray& line : scan.split('\n')) {
        if (!line.isEmpty() && !line.startsWith("bssid"))
            merge_scanned(result, line);
    }
    for (const QByteArray& line : saved.split('\n')) {
        if (!line.isEmpty() && !line.startsWith("network id"))
            merge_saved(result, line, status);
    }
    std::stable_sort(result.begin(), result.end(), listed_before);
    return result;
}

QString Client::security_name(Security value)
{
    switch (value) {
    case Security::Open: return QStringLiteral("open");
    case Security::Personal: return QStringLiteral("WPA personal");
    default: return QStringLiteral("unsupported");
    }
}

QByteArray Client::encode_ssid(const QString& text)
{
    return text.toUtf8().toHex();
}

QByteArray Client::encode_password(const QString& text)
{
    return quote_secret(text);
}

QByteArray terminal_text(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    QByteArray result;
    result.reserve(bytes.size());
    for (qsizetype at = 0; at < bytes.size(); ++at) {
        uchar c = uchar(bytes.at(at));
        // C1 controls are U+0080 to U+009F: C2 80 to C2 9F in UTF-8.
        const bool c1 = c == 0xc2 && at + 1 < bytes.size() && uchar(bytes.at(at + 1)) <= 0x9f;
        if (c1)
            c = uchar(bytes.at(++at));
        if (c1 || c < 0x20 || c == 0x7f)
            result += "\\x" + QByteArray::number(c, 16).rightJustified(2, '0');
        else
            result += char(c);
    }
    return result;
}

} // namespace vtl::wifi
