#include "wifi_terminal.h"

#include "vtl/wifi.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <limits.h>
#include <termios.h>
#include <unistd.h>

using vtl::wifi::terminal_text;
using vtl::wifi::Waiting;

namespace {

constexpr std::array<int, 4> handled_signals = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
termios interrupted_terminal;
volatile sig_atomic_t echo_disabled = 0;

// A line on standard error while the tool waits, when that is a terminal;
// erased before anything else is written and on every way out.
bool progress_wanted = false;
volatile sig_atomic_t progress_shown = 0;
constexpr char erase_line[] = "\r\033[K";

void show_progress(Waiting what, const QByteArray& ssid)
{
    if (!progress_wanted)
        return;
    const QByteArray text = erase_line
        + (what == Waiting::Scan ? QByteArray("Scanning...")
                                 : terminal_text(QStringLiteral("Connecting to %1...").arg(vtl::wifi::ssid_label(ssid))));
    progress_shown = 1;
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.constData(), size_t(text.size()));
}

// A second signal, which can only come while a run undoes its changes, ends the program at once.
void end_run(int signal)
{
    if (vtl::wifi::interruption() != 0) {
        vtl::wifi::remove_socket_file();
        erase_progress();
        _exit(128 + signal);
    }
    vtl::wifi::interrupt(signal);
}

// Only async-signal-safe calls: the terminal gets its echo back even when
// the user gives up at the password prompt.
void restore_echo_and_exit(int signal)
{
    if (echo_disabled)
        tcsetattr(STDIN_FILENO, TCSANOW, &interrupted_terminal);
    erase_progress();
    _exit(128 + signal);
}

// Switches echo off for one hidden read on a terminal, and back on however
// the read ends. Any failure on the way in leaves everything as it was.
class EchoGuard {
public:
    explicit EchoGuard(bool requested)
    {
        if (!requested || !isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0)
            return;
        struct sigaction action {};
        action.sa_handler = restore_echo_and_exit;
        sigemptyset(&action.sa_mask);
        for (size_t index = 0; index < handled_signals.size(); ++index) {
            if (sigaction(handled_signals[index], &action, &previous_[index]) != 0) {
                while (index-- > 0)
                    sigaction(handled_signals[index], &previous_[index], nullptr);
                return;
            }
        }
        interrupted_terminal = saved_;
        echo_disabled = 1;
        termios hidden = saved_;
        hidden.c_lflag &= ~tcflag_t(ECHO);
        if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden) != 0) {
            restore_handlers();
            return;
        }
        active_ = true;
    }
    ~EchoGuard()
    {
        if (active_)
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
        restore_handlers();
    }
    EchoGuard(const EchoGuard&) = delete;
    EchoGuard& operator=(const EchoGuard&) = delete;

private:
    void restore_handlers()
    {
        if (!echo_disabled && !active_)
            return;
        // Lowered first: a signal from here on finds the terminal already restored.
        echo_disabled = 0;
        for (size_t index = 0; index < handled_signals.size(); ++index)
            sigaction(handled_signals[index], &previous_[index], nullptr);
        active_ = false;
    }

    termios saved_{};
    std::array<struct sigaction, 4> previous_{};
    bool active_ = false;
};

// One line of standard input, read a byte at a time so that nothing after it
// is taken from the next reader. Each read waits as the daemon's replies do,
// so a signal that came just before it still ends it. False at the end of input.
bool read_line(QByteArray& line)
{
    for (;;) {
        vtl::wifi::wait_for_input(STDIN_FILENO);
        char byte = 0;
        const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        if (byte == '\n')
            return true;
        line += byte;
    }
}

// Standard output as the caller left it: closed, its number holds /dev/null.
bool output_closed = false;

} // namespace

// Async-signal-safe: the handlers that end the program call it too.
void erase_progress() noexcept
{
    if (!progress_shown)
        return;
    progress_shown = 0;
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, erase_line, sizeof erase_line - 1);
}

ProgressLine::ProgressLine()
{
    progress_wanted = isatty(STDERR_FILENO);
    vtl::wifi::watch_waits(show_progress);
}

ProgressLine::~ProgressLine()
{
    erase_progress();
}

// Without SA_RESTART: a read of standard input ends at the signal too.
void watch_signals()
{
    struct sigaction action {};
    action.sa_handler = end_run;
    sigemptyset(&action.sa_mask);
    for (const int signal : handled_signals)
        sigaddset(&action.sa_mask, signal);
    for (const int signal : handled_signals)
        sigaction(signal, &action, nullptr);
}

void throw_if_interrupted()
{
    if (const int signal = vtl::wifi::interruption())
        throw vtl::wifi::Interrupted(signal);
}

// The line's bytes as typed: a password is not text to decode.
QByteArray input_line(const QString& prompt, bool hidden)
{
    erase_progress();
    std::cerr << prompt.toUtf8().constData() << std::flush;
    const EchoGuard echo(hidden);
    QByteArray line;
    const bool ended = read_line(line);
    if (hidden && isatty(STDIN_FILENO))
        std::cerr << '\n';
    if (!ended && line.isEmpty())
        throw std::runtime_error("Could not read input.");
    return line;
}

// A stream the caller closed is opened on /dev/null before anything else can
// take its number: otherwise a descriptor of the process's own (the
// application object's) would become standard output or error, and output
// would be written into it.
void open_closed_streams()
{
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        if (::fcntl(stream, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number: the lower streams are open by now.
        ::open("/dev/null", stream == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (stream == STDOUT_FILENO)
            output_closed = true;
    }
}

namespace {

[[noreturn]] void write_failed(int error)
{
    throw std::runtime_error(std::string("Could not write output: ") + std::strerror(error));
}

} // namespace

// The output is the result: one that cannot be written is a failure.
void write_out(const QByteArray& bytes)
{
    erase_progress();
    if (output_closed)
        write_failed(EBADF);
    for (qsizetype at = 0; at < bytes.size();) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.constData() + at, size_t(bytes.size() - at));
        if (written > 0) {
            at += written;
        } else if (written < 0 && errno == EINTR) {
            throw_if_interrupted();
        } else {
            write_failed(errno);
        }
    }
}

qsizetype write_some(const QByteArray& bytes)
{
    if (output_closed)
        write_failed(EBADF);
    const ssize_t written = ::write(STDOUT_FILENO, bytes.constData(), size_t(std::min<qsizetype>(bytes.size(), PIPE_BUF)));
    if (written < 0 && errno == EPIPE)
        return -1;
    if (written < 0 && errno != EAGAIN && errno != EINTR)
        write_failed(errno);
    return std::max<ssize_t>(written, 0);
}

void report(const char* message)
{
    erase_progress();
    std::cerr << "vantrel-wifi: " << terminal_text(QString::fromUtf8(message)).constData() << '\n';
}
