#include "wifi_private.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vtl::wifi {
namespace {

constexpr int reply_capacity = 65536;
const QString timed_out = QStringLiteral("Timed out waiting for wpa_supplicant.");

// A descriptor moved above standard input, output and error: with those
// closed, a new descriptor would take their numbers, and output meant for the
// terminal would go into it.
int above_standard(int descriptor)
{
    if (descriptor < 0 || descriptor > STDERR_FILENO)
        return descriptor;
    const int moved = ::fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(descriptor);
    return moved;
}

// A signal handler writes a byte here and every wait that a signal may end
// watches the other end, so a signal that comes just before a wait still ends it.
struct WakePipe {
    int read_end = -1;
    int write_end = -1;
    WakePipe()
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            read_end = above_standard(ends[0]);
            write_end = above_standard(ends[1]);
        }
    }
};
const WakePipe wake_pipe;
volatile sig_atomic_t pending_signal = 0;
bool signals_held = false;

// The temporary socket files of the exchange in progress and of the event
// socket, for a signal handler that ends the program at once: it may only
// call unlink on a fixed buffer.
enum Slot { exchange_slot, events_slot, slots };
char socket_file[slots][sizeof(sockaddr_un::sun_path)];
volatile sig_atomic_t socket_file_named[slots] = {0, 0};

// Read right after the failing call, before any clean-up can change errno.
QString system_error()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The wait as a signal now meets it.
Wait honoured(Wait wait)
{
    if (signals_held)
        return Wait::Steady;
    return wait == Wait::Committing ? Wait::Interruptible : wait;
}

void throw_if_interrupted(Wait wait)
{
    if (wait == Wait::Interruptible && pending_signal != 0)
        throw Interrupted(pending_signal);
}

int remaining_ms(const QDeadlineTimer& deadline)
{
    return int(std::min<qint64>(deadline.remainingTime(), std::numeric_limits<int>::max()));
}

// Waits until `descriptor` is ready for `events` (a negative descriptor: only
// the time passes) or the deadline comes; false at the deadline or on an error.
bool wait_for(int descriptor, short events, const QDeadlineTimer& deadline, Wait wait)
{
    for (;;) {
        throw_if_interrupted(wait);
        pollfd watched[2] = {{descriptor, events, 0},
                             {wait == Wait::Interruptible ? wake_pipe.read_end : -1, POLLIN, 0}};
        const int ready = ::poll(watched, 2, remaining_ms(deadline));
        if (ready == 0 || (ready < 0 && errno != EINTR))
            return false;
        if (ready > 0 && watched[0].revents != 0)
            return true;
    }
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

} // namespace

// Owns one socket's descriptor and temporary name (an exchange's, or the event
// socket's); both go on every path out.
class TemporarySocket {
public:
    TemporarySocket(int descriptor, QByteArray path, Slot slot = exchange_slot)
        : descriptor_(descriptor), path_(std::move(path)), slot_(slot)
    {
        socket_file_named[slot_] = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        std::memcpy(socket_file[slot_], path_.constData(), size_t(path_.size()) + 1);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        socket_file_named[slot_] = 1;
    }
    ~TemporarySocket()
    {
        socket_file_named[slot_] = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
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
    Slot slot_;
};

namespace {

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

// A daemon that has stopped reading fills its queue; a blocking send would then wait for ever.
void send_by(const TemporarySocket& socket, const QByteArray& request, const QDeadlineTimer& deadline, Wait wait)
{
    for (;;) {
        const ssize_t sent = ::send(socket.descriptor(), request.constData(), size_t(request.size()),
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == ssize_t(request.size()))
            return;
        if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            throw failure(QStringLiteral("Could not send Wi-Fi command: ") + system_error());
        if (!wait_for(socket.descriptor(), POLLOUT, deadline, wait))
            throw NoReply(timed_out);
    }
}

QByteArray receive_by(const TemporarySocket& socket, const QDeadlineTimer& deadline, Wait wait)
{
    QByteArray reply(reply_capacity, Qt::Uninitialized);
    for (;;) {
        if (!wait_for(socket.descriptor(), POLLIN, deadline, wait))
            throw NoReply(timed_out);
        // MSG_TRUNC gives the datagram's real length: a cut reply is never taken for a whole one.
        const ssize_t received = ::recv(socket.descriptor(), reply.data(), size_t(reply.size()),
                                        MSG_DONTWAIT | MSG_TRUNC);
        if (received > reply_capacity)
            throw failure(QStringLiteral("Wi-Fi response was too long."));
        if (received >= 0) {
            reply.resize(qsizetype(received));
            return reply;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            throw failure(QStringLiteral("Could not read Wi-Fi response: ") + system_error());
    }
}

std::unique_ptr<TemporarySocket> open_socket(const QByteArray& server, Slot slot)
{
    // An empty path would name Linux's abstract socket "", which any local user may bind.
    if (server.isEmpty())
        throw failure(QStringLiteral("VANTREL_WPA_SOCKET is set but empty."));
    if (server.size() >= qsizetype(sizeof(sockaddr_un::sun_path)))
        throw failure(QStringLiteral("Wi-Fi control socket path is too long."));
    const int descriptor = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        throw failure(QStringLiteral("Could not open Wi-Fi control socket: %1").arg(system_error()));
    auto socket = std::make_unique<TemporarySocket>(descriptor, temporary_name(), slot);
    bind_private(*socket);
    connect_to(*socket, server);
    return socket;
}

void strip_line_end(QByteArray& reply)
{
    while (reply.endsWith('\n') || reply.endsWith('\r'))
        reply.chop(1);
}

} // namespace

Interrupted::Interrupted(int signal) : std::runtime_error("Interrupted."), signal_(signal)
{
}

void interrupt(int signal) noexcept
{
    const int saved_errno = errno;
    pending_signal = signal;
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(wake_pipe.write_end, &byte, 1);
    errno = saved_errno;
}

int interruption() noexcept
{
    return pending_signal;
}

void remove_socket_file() noexcept
{
    for (int slot = 0; slot < slots; ++slot) {
        if (socket_file_named[slot])
            ::unlink(socket_file[slot]);
    }
}

void wait_for_input(int descriptor)
{
    // A failing poll ends the wait too: the read that follows reports it.
    wait_for(descriptor, POLLIN, QDeadlineTimer(QDeadlineTimer::Forever), honoured(Wait::Interruptible));
}

void release_signals() noexcept
{
    signals_held = false;
}

NoReply::NoReply(const QString& message) : std::runtime_error(message.toStdString())
{
}

std::runtime_error failure(const QString& message)
{
    // what() is read up to its first NUL: a name holding one must not cut the message.
    return std::runtime_error(QString(message).replace(QChar(0), QLatin1String("\\x00")).toStdString());
}

QByteArray exchange(const QByteArray& server, const QByteArray& request, int timeout_ms, Wait wait, bool* sent)
{
    if (sent)
        *sent = false;
    if (!valid_request(request))
        throw failure(QStringLiteral("Invalid wpa_supplicant control command."));
    throw_if_interrupted(honoured(wait));
    // The limit covers the whole exchange, the send included.
    const QDeadlineTimer deadline = timeout_ms < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                   : QDeadlineTimer(timeout_ms, Qt::PreciseTimer);
    const std::unique_ptr<TemporarySocket> opened = open_socket(server, exchange_slot);
    const TemporarySocket& socket = *opened;
    send_by(socket, request, deadline, honoured(wait));
    if (sent)
        *sent = true;
    if (wait == Wait::Committing)
        signals_held = true;
    QByteArray reply = receive_by(socket, deadline, honoured(wait));
    strip_line_end(reply);
    return reply;
}

Events::Events(const QByteArray& server) : socket_(open_socket(server, events_slot))
{
    const QDeadlineTimer deadline(reply_timeout_ms, Qt::PreciseTimer);
    send_by(*socket_, "ATTACH", deadline, honoured(Wait::Interruptible));
    QByteArray reply = receive_by(*socket_, deadline, honoured(Wait::Interruptible));
    strip_line_end(reply);
    if (reply != "OK")
        throw failure(QStringLiteral("Could not listen to wpa_supplicant: ") + QString::fromUtf8(reply));
}

Events::~Events() = default;

int Events::descriptor() const
{
    return socket_->descriptor();
}

void Events::detach() const
{
    try {
        const QDeadlineTimer deadline(reply_timeout_ms, Qt::PreciseTimer);
        send_by(*socket_, "DETACH", deadline, Wait::Steady);
        // Its answer comes among the events: the first datagram that is not one.
        for (;;) {
            const QByteArray reply = receive_by(*socket_, deadline, Wait::Steady);
            if (!reply.startsWith('<'))
                return;
        }
    } catch (const std::runtime_error&) {
        // The daemon may be gone; closing the socket ends its sending all the same.
    }
}

int interruption_descriptor() noexcept
{
    return wake_pipe.read_end;
}

std::optional<QByteArray> Events::next(int timeout_ms) const
{
    try {
        QByteArray event = receive_by(*socket_, QDeadlineTimer(timeout_ms, Qt::PreciseTimer),
                                      honoured(Wait::Interruptible));
        strip_line_end(event);
        return event;
    } catch (const NoReply&) {
        return std::nullopt;
    }
}

void pause_for(int milliseconds)
{
    wait_for(-1, 0, QDeadlineTimer(milliseconds, Qt::PreciseTimer), honoured(Wait::Interruptible));
}

int environment_milliseconds(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value >= 0 ? value : fallback;
}

namespace {

WaitWatcher wait_watcher = nullptr;

} // namespace

void watch_waits(WaitWatcher watcher) noexcept
{
    wait_watcher = watcher;
}

void announce(Waiting what, const QByteArray& ssid)
{
    if (wait_watcher)
        wait_watcher(what, ssid);
}

Client::Client(QString socket_path) : socket_path_(socket_path.toLocal8Bit())
{
    // Taken as bytes: a path is not text to decode and encode again.
    if (socket_path.isEmpty())
        socket_path_ = qEnvironmentVariableIsSet("VANTREL_WPA_SOCKET") ? qgetenv("VANTREL_WPA_SOCKET")
                                                                        : QByteArray("/run/wpa_supplicant/wlan0");
}

QByteArray Client::command(const QByteArray& request, int timeout_ms) const
{
    return exchange(socket_path_, request, timeout_ms, Wait::Interruptible);
}

} // namespace vtl::wifi
