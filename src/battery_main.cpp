#include "vtl/battery.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char usage_text[] = "Usage: vantrel-battery [--percentage|--prompt]\n";

enum class Mode { Report, Short, Prompt, Json, Version, Usage };

Mode mode_of(int argc, char** argv)
{
    if (argc == 1)
        return Mode::Report;
    if (argc != 2)
        return Mode::Usage;
    if (std::strcmp(argv[1], "--percentage") == 0 || std::strcmp(argv[1], "--short") == 0)
        return Mode::Short;
    if (std::strcmp(argv[1], "--prompt") == 0)
        return Mode::Prompt;
    if (std::strcmp(argv[1], "--json") == 0)
        return Mode::Json;
    if (std::strcmp(argv[1], "--version") == 0)
        return Mode::Version;
    return Mode::Usage;
}

QByteArray text_of(Mode mode, const vtl::BatteryInfo& battery, const vtl::ModemInfo& modem)
{
    switch (mode) {
    case Mode::Prompt:
        return vtl::prompt_line(battery, modem).toUtf8() + '\n';
    case Mode::Short:
        return battery.percentage().toUtf8() + '\n';
    case Mode::Json:
        return vtl::status_json(battery, modem, vtl::read_radio());
    default:
        return vtl::report_text(battery, modem).toUtf8() + '\n';
    }
}

bool output_closed = false;

// Streams the caller closed get /dev/null before the application object opens
// descriptors that would take their numbers and receive the text.
void open_closed_streams()
{
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        if (::fcntl(stream, F_GETFD) < 0 && errno == EBADF) {
            ::open("/dev/null", stream == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            output_closed = output_closed || stream == STDOUT_FILENO;
        }
    }
}

// The text is the result: one that cannot be written whole is a failure.
bool write_out(const QByteArray& bytes)
{
    if (output_closed) {
        errno = EBADF;
        return false;
    }
    for (qsizetype at = 0; at < bytes.size();) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.constData() + at, size_t(bytes.size() - at));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        at += written;
    }
    return true;
}

int write_failure()
{
    std::fprintf(stderr, "vantrel-battery: Could not write output: %s\n", std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    open_closed_streams();
    // Judged before the application object, which removes words it claims for itself.
    const Mode mode = mode_of(argc, argv);
    const QCoreApplication app(argc, argv);
    if (mode == Mode::Usage) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    if (mode == Mode::Version)
        return write_out("vantrel-battery " VANTREL_VERSION "\n") ? 0 : write_failure();
    const vtl::BatteryInfo battery = vtl::read_battery(QString());
    const vtl::ModemInfo modem = vtl::read_modem(QString(), QString());
    // Written by its length: no byte of a file's text can cut it short.
    if (!write_out(text_of(mode, battery, modem)))
        return write_failure();
    return mode == Mode::Report && !battery.available() ? 1 : 0;
}
