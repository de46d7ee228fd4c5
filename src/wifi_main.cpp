#include "vtl/wifi.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using vtl::wifi::Client;
using vtl::wifi::Interrupted;
using vtl::wifi::Network;
using vtl::wifi::Credentials;
using vtl::wifi::Status;
using vtl::wifi::terminal_text;
using vtl::wifi::Waiting;

namespace {

constexpr char usage_text[] =
    "Usage: vantrel-wifi status [--json]\n"
    "       vantrel-wifi list [--json] [--cached]\n"
    "       vantrel-wifi pick\n"
    "       vantrel-wifi connect [--hidden] [--open|--password-stdin] SSID\n"
    "       vantrel-wifi password [--hidden] SSID\n"
    "       vantrel-wifi disconnect\n"
    "       vantrel-wifi forget --yes SSID\n"
    "\n"
    "Scanning and switching saved networks do not write storage. Adding or\n"
    "forgetting a network deliberately updates the firmware Wi-Fi file once.\n";

constexpr char unknown_action[] = "Unknown action. Run vantrel-wifi --help.";
constexpr char unsupported_mode[] = "That network uses an unsupported security mode.";
constexpr int connect_timeout_ms = 15000;

constexpr std::array<int, 4> handled_signals = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
termios interrupted_terminal;
volatile sig_atomic_t echo_disabled = 0;

// A line on standard error while the tool waits, when that is a terminal;
// erased before anything else is written and on every way out.
bool progress_wanted = false;
volatile sig_atomic_t progress_shown = 0;
constexpr char erase_line[] = "\r\033[K";

// Async-signal-safe: the handlers that end the program call it too.
void erase_progress() noexcept
{
    if (!progress_shown)
        return;
    progress_shown = 0;
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, erase_line, sizeof erase_line - 1);
}

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

// Erases the progress line however main ends.
struct ProgressLine {
    ProgressLine()
    {
        progress_wanted = isatty(STDERR_FILENO);
        vtl::wifi::watch_waits(show_progress);
    }
    ~ProgressLine() { erase_progress(); }
};

// A first signal ends the run's waits: the operation undoes what it changed
// and the program exits with 128 + the signal. A second one, which can only
// come while that undoing goes on, ends the program at once.
void end_run(int signal)
{
    if (vtl::wifi::interruption() != 0) {
        vtl::wifi::remove_socket_file();
        erase_progress();
        _exit(128 + signal);
    }
    vtl::wifi::interrupt(signal);
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
        throw Interrupted(signal);
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

// The words as given: a network name is the bytes the user typed.
struct CommandLine {
    QByteArray action;
    QByteArrayList operands;
    bool as_json = false;
    bool cached = false;
    bool password_stdin = false;
    bool open = false;
    bool yes = false;
    bool hidden = false;
};

// Standard output as the caller left it: closed, its number holds /dev/null.
bool output_closed = false;

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

// The output is the result: one that cannot be written is a failure.
void write_out(const QByteArray& bytes)
{
    erase_progress();
    if (output_closed)
        throw std::runtime_error(std::string("Could not write output: ") + std::strerror(EBADF));
    for (qsizetype at = 0; at < bytes.size();) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.constData() + at, size_t(bytes.size() - at));
        if (written > 0) {
            at += written;
        } else if (written < 0 && errno == EINTR) {
            throw_if_interrupted();
        } else {
            throw std::runtime_error(std::string("Could not write output: ") + std::strerror(errno));
        }
    }
}

void usage()
{
    write_out(usage_text);
}

// Every text line goes through here: it may carry a name chosen by a stranger.
QByteArray shown_line(const QString& text)
{
    return terminal_text(text) + '\n';
}

void write_line(const QString& text)
{
    write_out(shown_line(text));
}

void write_json(const QJsonDocument& document)
{
    write_out(vtl::wifi::json_text(document.toJson(QJsonDocument::Compact)) + '\n');
}

bool take_flag(QByteArrayList& arguments, const char* word)
{
    return arguments.removeAll(word) > 0;
}

bool is_help(const QByteArray& word)
{
    return word == "help" || word == "--help" || word == "-h";
}

void show_status(const Client& client, const CommandLine& line)
{
    const Status status = client.status();
    // A signal during the exchange ends a look without its output.
    throw_if_interrupted();
    if (line.as_json) {
        const QJsonObject object{{QStringLiteral("state"), status.state},
                                 {QStringLiteral("ssid"), status.ssid},
                                 {QStringLiteral("address"), status.address},
                                 {QStringLiteral("saved_id"), status.saved_id}};
        write_json(QJsonDocument(object));
        return;
    }
    write_line(QStringLiteral("State: ") + status.state);
    write_line(QStringLiteral("Network: ") + status.ssid);
    write_line(QStringLiteral("Address: ") + status.address);
}

// One shape for every entry: a copy of it takes the values in the order an
// object keeps its members (by name), without a key to place for each.
QJsonObject json(const Network& item)
{
    static const QJsonObject shape{{QStringLiteral("bssid"), QString()},   {QStringLiteral("current"), false},
                                   {QStringLiteral("frequency"), 0},       {QStringLiteral("saved"), false},
                                   {QStringLiteral("saved_id"), -1},       {QStringLiteral("security"), QString()},
                                   {QStringLiteral("signal"), 0},          {QStringLiteral("ssid"), QString()},
                                   {QStringLiteral("supported"), false}};
    QJsonObject object = shape;
    const QJsonValue values[] = {item.bssid, item.current, item.frequency, item.saved_id >= 0, item.saved_id,
                                 Client::security_name(item.credentials), item.signal, item.ssid,
                                 vtl::wifi::joinable(item.credentials)};
    auto member = object.begin();
    for (const QJsonValue& value : values)
        (member++).value() = value;
    return object;
}

QString menu_line(int number, const Network& item)
{
    const QString level = item.signal <= -100 ? QStringLiteral("saved") : QStringLiteral("%1 dBm").arg(item.signal);
    return QString::number(number) + QStringLiteral(". ") + (item.current ? QStringLiteral("* ") : QStringLiteral("  "))
        + item.ssid + QStringLiteral("  [") + Client::security_name(item.credentials) + QStringLiteral(", ") + level
        + (item.saved_id >= 0 ? QStringLiteral(", saved") : QString()) + QStringLiteral("]");
}

void print_networks(const std::vector<Network>& items, bool as_json)
{
    throw_if_interrupted();
    if (as_json) {
        QJsonArray array;
        for (const Network& item : items)
            array.append(json(item));
        write_json(QJsonDocument(array));
        return;
    }
    QByteArray lines;
    int number = 0;
    for (const Network& item : items)
        lines += shown_line(menu_line(++number, item));
    write_out(lines);
}

void acknowledge(const CommandLine& line, const QString& text)
{
    if (line.as_json)
        write_out("{\"ok\":true}\n");
    else
        write_line(text);
}

void list(const Client& client, const CommandLine& line)
{
    print_networks(client.networks(!line.cached), line.as_json);
}

constexpr char not_found[] = "Network was not found. Run vantrel-wifi list first.";

const Network* find_network(const std::vector<Network>& items, const QByteArray& ssid)
{
    for (const Network& item : items) {
        if (item.ssid_bytes == ssid)
            return &item;
    }
    return nullptr;
}

// Looks a network up as connect does: in the last scan and the saved
// profiles, after a scan that probes for the name when it is hidden.
std::vector<Network> networks_for(const Client& client, const CommandLine& line)
{
    if (line.hidden)
        client.scan_for(line.operands.first());
    return client.networks(false);
}

QString connected_line(const QString& ssid)
{
    return QStringLiteral("Connected to ") + ssid + QLatin1Char('.');
}

// Some credentials need an adapter that can do them: asked before any password is.
QByteArray password_for(const Client& client, Credentials credentials, const QString& prompt, bool hidden)
{
    client.require_adapter(credentials);
    return input_line(prompt, hidden);
}

// A password typed on a terminal is hidden; one from standard input is one line of it.
void join_with_password(const Client& client, const Network& item, Credentials credentials, const QString& prompt,
                        bool hidden_network)
{
    const QByteArray password = password_for(client, credentials, prompt, !prompt.isEmpty());
    client.connect_new(item.ssid_bytes, credentials, password, connect_timeout_ms, hidden_network);
}

void connect(const Client& client, const CommandLine& line)
{
    const QByteArray ssid = line.operands.first();
    const std::vector<Network> items = networks_for(client, line);
    const Network* found = find_network(items, ssid);
    if (!found && line.hidden)
        throw vtl::wifi::failure(QStringLiteral("Could not find a network named %1.").arg(vtl::wifi::ssid_label(ssid)));
    if (!found)
        throw std::runtime_error(not_found);
    const Network& item = *found;
    if (item.saved_id >= 0)
        client.connect_saved(item.saved_id, ssid, connect_timeout_ms);
    else if (line.open)
        client.connect_new(ssid, Credentials::Open, QByteArray(), connect_timeout_ms, line.hidden);
    else if (line.password_stdin)
        join_with_password(client, item, vtl::wifi::with_password(item.credentials), QString(), line.hidden);
    else
        throw std::runtime_error(
            "Use --password-stdin so the password does not enter shell history, or --open for an open network.");
    acknowledge(line, connected_line(item.ssid));
}

const Network& choose(const std::vector<Network>& items)
{
    bool ok = false;
    const int choice = input_line(QStringLiteral("Network number: "), false).toInt(&ok, 10);
    if (!ok || choice < 1 || choice > int(items.size()))
        throw std::runtime_error("Invalid network number.");
    return items[size_t(choice - 1)];
}

void pick(const Client& client, const CommandLine&)
{
    const std::vector<Network> items = client.networks(true);
    // No number could be chosen: no prompt.
    if (items.empty())
        throw std::runtime_error("No Wi-Fi networks found.");
    print_networks(items, false);
    const Network& item = choose(items);
    // The current profile may still be trying (a wrong password, out of range): then it is joined.
    if (item.connected) {
        write_line(QStringLiteral("Already connected."));
        return;
    }
    if (item.saved_id >= 0)
        client.connect_saved(item.saved_id, item.ssid_bytes, connect_timeout_ms);
    else if (!vtl::wifi::joinable(item.credentials))
        throw std::runtime_error(unsupported_mode);
    else if (vtl::wifi::takes_password(item.credentials))
        join_with_password(client, item, item.credentials, QStringLiteral("Wi-Fi password: "), false);
    else
        client.connect_new(item.ssid_bytes, item.credentials, QByteArray(), connect_timeout_ms);
    write_line(connected_line(item.ssid));
}

// A saved network's new password: everything about the network is checked
// before the password is read.
void change_password(const Client& client, const CommandLine& line)
{
    const QByteArray ssid = line.operands.first();
    const std::vector<Network> items = networks_for(client, line);
    const Network* item = find_network(items, ssid);
    if (!item || item->saved_id < 0)
        throw vtl::wifi::not_saved(ssid);
    if (item->signal <= -100)
        throw std::runtime_error(not_found);
    if (!vtl::wifi::joinable(item->credentials))
        throw std::runtime_error(unsupported_mode);
    if (!vtl::wifi::takes_password(item->credentials))
        throw std::runtime_error("That network has no password.");
    const QString prompt = isatty(STDIN_FILENO) ? QStringLiteral("New Wi-Fi password: ") : QString();
    client.replace_password(ssid, item->credentials, password_for(client, item->credentials, prompt, true),
                            line.hidden, connect_timeout_ms);
    acknowledge(line, connected_line(item->ssid));
}

void disconnect(const Client& client, const CommandLine& line)
{
    client.disconnect();
    acknowledge(line, QStringLiteral("Wi-Fi disconnected."));
}

void forget(const Client& client, const CommandLine& line)
{
    const QByteArray ssid = line.operands.first();
    client.forget(ssid);
    acknowledge(line, QStringLiteral("Forgot %1.").arg(vtl::wifi::ssid_label(ssid)));
}

struct Action {
    const char* word;
    bool (*accepts)(const CommandLine&);
    const char* refusal;
    void (*run)(const Client&, const CommandLine&);
};

bool no_operands(const CommandLine& line)
{
    return line.operands.isEmpty();
}

const Action actions[] = {
    {"status", [](const CommandLine&) { return true; }, "", show_status},
    {"list", no_operands, "list takes no network name.", list},
    {"pick", no_operands, "pick takes no arguments.", pick},
    {"connect", [](const CommandLine& line) { return line.operands.size() == 1 && !(line.open && line.password_stdin); },
     "connect requires one SSID and one security choice.", connect},
    {"password", [](const CommandLine& line) { return line.operands.size() == 1; }, "password requires one SSID.",
     change_password},
    {"disconnect", no_operands, "disconnect takes no arguments.", disconnect},
    {"forget", [](const CommandLine& line) { return line.yes && line.operands.size() == 1; },
     "Forgetting writes the saved Wi-Fi file. Use: vantrel-wifi forget --yes SSID", forget},
};

void dispatch(const Client& client, const CommandLine& line)
{
    for (const Action& action : actions) {
        if (line.action != action.word)
            continue;
        if (!action.accepts(line))
            throw std::runtime_error(action.refusal);
        action.run(client, line);
        return;
    }
    throw std::runtime_error(unknown_action);
}

} // namespace

int main(int argc, char** argv)
{
    open_closed_streams();
    watch_signals();
    // Taken before the application object, which removes words it claims for itself.
    QByteArrayList arguments;
    for (int index = 1; index < argc; ++index)
        arguments.append(QByteArray(argv[index]));
    QCoreApplication app(argc, argv);
    const ProgressLine progress;
    try {
        CommandLine line;
        line.as_json = take_flag(arguments, "--json");
        line.cached = take_flag(arguments, "--cached");
        line.password_stdin = take_flag(arguments, "--password-stdin");
        line.open = take_flag(arguments, "--open");
        line.yes = take_flag(arguments, "--yes");
        line.hidden = take_flag(arguments, "--hidden");
        if (arguments.isEmpty() || is_help(arguments.first())) {
            usage();
            return 0;
        }
        if (arguments.first() == "--version") {
            write_out("vantrel-wifi " VANTREL_VERSION "\n");
            return 0;
        }
        line.action = arguments.takeFirst();
        line.operands = arguments;
        const Client client{QString()};
        dispatch(client, line);
        return 0;
    } catch (const Interrupted& interruption) {
        return 128 + interruption.signal();
    } catch (const std::exception& error) {
        erase_progress();
        const QByteArray message = terminal_text(QString::fromUtf8(error.what()));
        std::cerr << "vantrel-wifi: " << message.constData() << '\n';
        return 1;
    }
}
