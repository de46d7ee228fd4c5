#include "vtl/wifi.h"

#include <QList>

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

Status Client::status() const
{
    return parse_status(command("STATUS", reply_timeout_ms));
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
            result.ssid = QString::fromUtf8(value);
        } else if (key == "ip_address") {
            result.address = QString::fromUtf8(value);
        } else if (key == "id") {
            bool ok = false;
            const int id = value.toInt(&ok, 10);
            if (ok)
                result.saved_id = id;
        }
    }
    return result;
}

} // namespace vtl::wifi
