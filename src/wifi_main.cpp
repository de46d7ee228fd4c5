#include "wifi_follow.h"
#include "wifi_output.h"
#include "wifi_terminal.h"

#include "vtl/wifi.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>

#include <unistd.h>

using vtl::wifi::Client;
using vtl::wifi::Credentials;
using vtl::wifi::Interrupted;
using vtl::wifi::Network;
using vtl::wifi::Status;
using vtl::wifi::terminal_text;

namespace {

constexpr char unknown_action[] = "Unknown action. Run vantrel-wifi --help.";
constexpr int connect_timeout_ms = 15000;

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
    bool follow = false;
    vtl::wifi::EnterpriseWords values;
};

// Options that take the next word as their value, whatever it is.
struct ValueOption {
    const char* word;
    std::optional<QByteArray> vtl::wifi::EnterpriseWords::*value;
};
const ValueOption value_options[] = {
    {"--eap", &vtl::wifi::EnterpriseWords::eap},
    {"--identity", &vtl::wifi::EnterpriseWords::identity},
    {"--anonymous-identity", &vtl::wifi::EnterpriseWords::anonymous_identity},
    {"--domain", &vtl::wifi::EnterpriseWords::domain},
    {"--phase2", &vtl::wifi::EnterpriseWords::phase2},
    {"--ca-cert", &vtl::wifi::EnterpriseWords::ca_cert},
    {"--client-cert", &vtl::wifi::EnterpriseWords::client_cert},
    {"--private-key", &vtl::wifi::EnterpriseWords::private_key},
    {"--server-cert", &vtl::wifi::EnterpriseWords::server_cert},
};

bool any_value(const CommandLine& line)
{
    return std::any_of(std::begin(value_options), std::end(value_options),
                       [&line](const ValueOption& option) { return (line.values.*option.value).has_value(); });
}

// Every flag word and what it sets; an action reads only those it honours.
struct Flag {
    const char* word;
    bool CommandLine::*set;
};
const Flag flags[] = {
    {"--json", &CommandLine::as_json}, {"--cached", &CommandLine::cached},
    {"--password-stdin", &CommandLine::password_stdin}, {"--open", &CommandLine::open},
    {"--yes", &CommandLine::yes}, {"--hidden", &CommandLine::hidden},
    {"--follow", &CommandLine::follow},
};

void write_line(const QString& text)
{
    write_out(shown_line(text));
}

bool is_help(const QByteArray& word)
{
    return word == "help" || word == "--help" || word == "-h";
}

void show_status(const Client& client, const CommandLine& line)
{
    if (line.follow) {
        follow(client, line.as_json);
        return;
    }
    const Status status = client.status();
    const bool linked = line.as_json && status.state == QLatin1String("COMPLETED");
    const vtl::wifi::Signal signal = linked ? client.signal() : vtl::wifi::Signal();
    // A signal during the exchange ends a look without its output.
    throw_if_interrupted();
    write_out(status_output(status, signal, line.as_json));
}

void print_networks(const std::vector<Network>& items, bool as_json)
{
    throw_if_interrupted();
    write_out(networks_output(items, as_json));
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

// An enterprise join: the server is checked by a CA and a name, always. A
// TLS key's passphrase is read only when it is given.
void join_enterprise(const Client& client, const Network& item, vtl::wifi::Enterprise chosen, const QString& prompt,
                     bool hidden_network, bool read_secret = true)
{
    chosen.sha256_only = vtl::wifi::sha256_only(item.flags.toLatin1());
    client.require_method(chosen.method);
    const QByteArray secret = read_secret ? input_line(prompt, !prompt.isEmpty()) : QByteArray();
    client.connect_new(item.ssid_bytes, chosen.method == "TLS" ? Credentials::Certificate : Credentials::Enterprise,
                       secret, connect_timeout_ms, hidden_network, chosen);
}

// The words for an enterprise join, the passphrase flag among them.
vtl::wifi::Enterprise chosen_by(const CommandLine& line)
{
    vtl::wifi::EnterpriseWords words = line.values;
    words.passphrase = line.password_stdin;
    return vtl::wifi::enterprise_options(words);
}

// The network the operand names, as connect looks it up.
Network looked_up(const Client& client, const CommandLine& line)
{
    const QByteArray ssid = line.operands.first();
    const std::vector<Network> items = networks_for(client, line);
    const Network* found = find_network(items, ssid);
    if (!found && line.hidden)
        throw vtl::wifi::failure(QStringLiteral("Could not find a network named %1.").arg(vtl::wifi::ssid_label(ssid)));
    if (!found)
        throw std::runtime_error(not_found);
    return *found;
}

std::runtime_error not_enterprise(const Network& item)
{
    return vtl::wifi::failure(QStringLiteral("%1 is not an enterprise network.").arg(item.ssid));
}

void connect(const Client& client, const CommandLine& line)
{
    const QByteArray ssid = line.operands.first();
    const bool valued = any_value(line);
    const vtl::wifi::Enterprise chosen = valued ? chosen_by(line) : vtl::wifi::Enterprise();
    const Network item = looked_up(client, line);
    if (item.saved_id >= 0 && valued)
        throw vtl::wifi::failure(
            QStringLiteral("%1 is already saved; forget it first to join it with other settings.").arg(item.ssid));
    const bool enterprise = item.saved_id < 0 && item.credentials == Credentials::Enterprise;
    if (item.saved_id < 0 && valued && !enterprise)
        throw not_enterprise(item);
    const bool tls = chosen.method == "TLS";
    if (enterprise && tls && !(line.values.identity && line.values.domain))
        throw std::runtime_error("Joining with a certificate needs --eap tls, --identity, --domain and --private-key.");
    const bool complete = line.values.eap && line.values.identity && line.values.domain && line.password_stdin;
    if (enterprise && !tls && !complete)
        throw std::runtime_error("Joining an enterprise network needs --eap, --identity, --domain and --password-stdin.");
    if (item.saved_id >= 0)
        client.connect_saved(item.saved_id, ssid, connect_timeout_ms);
    else if (enterprise)
        join_enterprise(client, item, chosen, QString(), line.hidden, !tls || line.password_stdin);
    else if (line.open)
        client.connect_new(ssid, Credentials::Open, QByteArray(), connect_timeout_ms, line.hidden);
    else if (line.password_stdin)
        join_with_password(client, item, vtl::wifi::with_password(item.credentials), QString(), line.hidden);
    else
        throw std::runtime_error(
            "Use --password-stdin so the password does not enter shell history, or --open for an open network.");
    acknowledge(line, connected_line(item.ssid));
}

// Shows the certificates of an enterprise network's server.
void server(const Client& client, const CommandLine& line)
{
    vtl::wifi::Enterprise chosen = chosen_by(line);
    const Network item = looked_up(client, line);
    if (item.credentials != Credentials::Enterprise)
        throw not_enterprise(item);
    chosen.sha256_only = vtl::wifi::sha256_only(item.flags.toLatin1());
    const vtl::wifi::ServerChain shown =
        client.server_chain(item.ssid_bytes, chosen, line.hidden, connect_timeout_ms);
    throw_if_interrupted();
    write_out(server_output(item.ssid_bytes, shown, line.values.identity.value_or(QByteArray()), line.as_json));
}

const Network& choose(const std::vector<Network>& items)
{
    bool ok = false;
    const int choice = input_line(QStringLiteral("Network number: "), false).toInt(&ok, 10);
    if (!ok || choice < 1 || choice > int(items.size()))
        throw std::runtime_error("Invalid network number.");
    return items[size_t(choice - 1)];
}

// PEAP with MSCHAPv2, the most common kind, checked by the system's CAs.
vtl::wifi::Enterprise ask_enterprise()
{
    vtl::wifi::EnterpriseWords words;
    words.eap = "peap";
    words.identity = input_line(QStringLiteral("Identity: "), false);
    words.domain = input_line(QStringLiteral("Server domain: "), false);
    return vtl::wifi::enterprise_options(words);
}

// A failure already told on standard error: the run ends with 1 and says no more.
struct Told {};

// On a terminal, a server whose chain ends at a CA the bundle does not hold
// is shown, and the person who knows it may trust it: the join is tried
// again with its certificate pinned.
void join_picked_enterprise(const Client& client, const Network& item)
{
    const QString prompt = QStringLiteral("Wi-Fi password: ");
    vtl::wifi::Enterprise chosen = ask_enterprise();
    try {
        join_enterprise(client, item, chosen, prompt, false);
    } catch (const vtl::wifi::UntrustedServer& untrusted) {
        if (!isatty(STDIN_FILENO) || !isatty(STDERR_FILENO) || untrusted.chain().chain.empty())
            throw;
        report(untrusted.what());
        write_out(server_output(item.ssid_bytes, untrusted.chain(), chosen.identity, false));
        const QByteArray answer = input_line(QStringLiteral("Trust this server? [y/N] "), false).toLower();
        if (answer != "y" && answer != "yes")
            throw Told();
        chosen.ca_cert = vtl::wifi::pinned(untrusted.chain().chain.front().sha256);
        join_enterprise(client, item, chosen, prompt, false);
    }
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
        throw vtl::wifi::unsupported();
    else if (item.credentials == Credentials::Enterprise)
        join_picked_enterprise(client, item);
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
        throw vtl::wifi::unsupported();
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

// One entry per action: the help text, the flags and the checks of the
// command line all come from here.
struct Action {
    const char* word;
    std::initializer_list<const char*> usage; // each line after "vantrel-wifi "
    std::initializer_list<const char*> flags; // those it honours
    bool (*accepts)(const CommandLine&);
    const char* refusal;
    void (*run)(const Client&, const CommandLine&);
};

bool no_operands(const CommandLine& line)
{
    return line.operands.isEmpty();
}

bool one_operand(const CommandLine& line)
{
    return line.operands.size() == 1;
}

const Action actions[] = {
    {"status", {"status [--json] [--follow]"}, {"--json", "--follow"}, [](const CommandLine&) { return true; }, "",
     show_status},
    {"list", {"list [--json] [--cached]"}, {"--json", "--cached"}, no_operands, "list takes no network name.", list},
    {"pick", {"pick"}, {}, no_operands, "pick takes no arguments.", pick},
    {"connect",
     {"connect [--hidden] [--open|--password-stdin] SSID",
      "connect --eap METHOD --identity NAME --domain NAME --password-stdin SSID",
      "connect --eap tls --identity NAME --domain NAME --private-key FILE SSID"},
     {"--hidden", "--open", "--password-stdin", "--json"},
     [](const CommandLine& line) { return one_operand(line) && !(line.open && line.password_stdin); },
     "connect requires one SSID and one security choice.", connect},
    {"server", {"server [--json] [--identity NAME | --anonymous-identity NAME] [--hidden] SSID"}, {"--json", "--hidden"},
     one_operand, "server requires one SSID.", server},
    {"password", {"password [--hidden] SSID"}, {"--hidden", "--json"}, one_operand, "password requires one SSID.",
     change_password},
    {"disconnect", {"disconnect"}, {"--json"}, no_operands, "disconnect takes no arguments.", disconnect},
    {"forget", {"forget --yes SSID"}, {"--yes", "--json"},
     [](const CommandLine& line) { return line.yes && one_operand(line); },
     "Forgetting writes the saved Wi-Fi file. Use: vantrel-wifi forget --yes SSID", forget},
};

QByteArray usage_text()
{
    QByteArray text;
    const char* lead = "Usage: ";
    for (const Action& action : actions) {
        for (const char* line : action.usage) {
            text += QByteArray(lead) + "vantrel-wifi " + line + '\n';
            lead = "       ";
        }
    }
    return text + "\nScanning and switching saved networks do not write storage. Adding or\n"
                  "forgetting a network deliberately updates the firmware Wi-Fi file once.\n";
}

const Action* action_named(const QByteArray& word)
{
    const auto found = std::find_if(std::begin(actions), std::end(actions),
                                    [&word](const Action& action) { return word == action.word; });
    return found == std::end(actions) ? nullptr : found;
}

// Value options take the next word first, whatever it is; then flags may
// come anywhere and an action sees those it honours. Nothing when no word is
// left for an action.
std::optional<CommandLine> command_line(const QByteArrayList& words)
{
    CommandLine line;
    QByteArrayList arguments;
    for (qsizetype at = 0; at < words.size(); ++at) {
        const ValueOption* option = std::find_if(std::begin(value_options), std::end(value_options),
                                                 [&](const ValueOption& known) { return words.at(at) == known.word; });
        if (option == std::end(value_options)) {
            arguments.append(words.at(at));
            continue;
        }
        if (at + 1 == words.size())
            throw std::runtime_error(std::string(option->word) + " needs a value.");
        if ((line.values.*option->value).has_value())
            throw std::runtime_error(std::string(option->word) + " was given twice.");
        line.values.*option->value = words.at(++at);
    }
    QByteArrayList given;
    for (const Flag& flag : flags) {
        if (arguments.removeAll(flag.word) > 0)
            given.append(flag.word);
    }
    if (arguments.isEmpty())
        return std::nullopt;
    line.action = arguments.takeFirst();
    line.operands = arguments;
    const Action* action = action_named(line.action);
    for (const char* word : action ? action->flags : std::initializer_list<const char*>()) {
        const Flag* flag = std::find_if(std::begin(flags), std::end(flags),
                                        [word](const Flag& known) { return std::strcmp(known.word, word) == 0; });
        line.*flag->set = given.contains(word);
    }
    return line;
}

void dispatch(const Client& client, const CommandLine& line)
{
    const Action* action = action_named(line.action);
    if (!action)
        throw std::runtime_error(unknown_action);
    if (!action->accepts(line))
        throw std::runtime_error(action->refusal);
    action->run(client, line);
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
        const std::optional<CommandLine> line = command_line(arguments);
        if (!line || is_help(line->action)) {
            write_out(usage_text());
            return 0;
        }
        if (line->action == "--version") {
            write_out("vantrel-wifi " VANTREL_VERSION "\n");
            return 0;
        }
        const Client client{QString()};
        dispatch(client, *line);
        return 0;
    } catch (const Interrupted& interruption) {
        return 128 + interruption.signal();
    } catch (const Told&) {
        return 1;
    } catch (const std::exception& error) {
        report(error.what());
        return 1;
    }
}
