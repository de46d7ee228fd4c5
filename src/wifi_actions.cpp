#include "wifi_actions.h"
#include "wifi_follow.h"
#include "wifi_output.h"
#include "wifi_terminal.h"

#include <algorithm>

#include <unistd.h>

using vtl::wifi::Client;
using vtl::wifi::Credentials;
using vtl::wifi::Network;
using vtl::wifi::Status;

namespace {

void print_networks(const std::vector<Network>& items, bool as_json)
{
    throw_if_interrupted();
    write_out(networks_output(items, as_json));
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

// A secret typed at a terminal is asked for and hidden; one from a pipe is its first line, unasked.
QString typed(const char* prompt)
{
    return isatty(STDIN_FILENO) ? QString::fromUtf8(prompt) : QString();
}

const Network& choose(const std::vector<Network>& items)
{
    bool ok = false;
    const int choice = input_line(QStringLiteral("Network number: "), false).toInt(&ok, 10);
    if (!ok || choice < 1 || choice > int(items.size()))
        throw std::runtime_error("Invalid network number.");
    return items[size_t(choice - 1)];
}

} // namespace

void write_line(const QString& text)
{
    write_out(shown_line(text));
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

QString connected_line(const QString& ssid)
{
    return QStringLiteral("Connected to ") + ssid + QLatin1Char('.');
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
        join_enterprise(client, item, chosen, typed(tls ? "Key passphrase: " : "Wi-Fi password: "), line.hidden,
                        !tls || line.password_stdin);
    else if (line.open)
        client.connect_new(ssid, Credentials::Open, QByteArray(), connect_timeout_ms, line.hidden);
    else if (line.password_stdin)
        join_with_password(client, item, vtl::wifi::with_password(item.credentials), typed("Wi-Fi password: "),
                           line.hidden);
    else
        throw std::runtime_error(
            "Use --password-stdin so the password does not enter shell history, or --open for an open network.");
    acknowledge(line, connected_line(item.ssid));
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

void show_saved(const Client& client, const CommandLine& line)
{
    const std::vector<vtl::wifi::SavedNetwork> saved = client.saved_networks();
    throw_if_interrupted();
    write_out(saved_output(saved, line.as_json));
}

// The range nmcli gives autoconnect-priority; the daemon itself would take more.
void set_priority(const Client& client, const CommandLine& line)
{
    const QByteArray& number = line.operands.at(1);
    const bool digits = !number.isEmpty() && number.size() <= (number.startsWith('-') ? 4 : 3)
        && std::all_of(number.begin() + (number.startsWith('-') ? 1 : 0), number.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || number == "-")
        throw std::runtime_error("A priority is a whole number from -999 to 999.");
    const QByteArray ssid = line.operands.first();
    client.set_priority(ssid, number.toInt());
    acknowledge(line, QStringLiteral("Priority of %1 set to %2.").arg(vtl::wifi::ssid_label(ssid)).arg(number.toInt()));
}

void set_autojoin(const Client& client, const CommandLine& line)
{
    const bool on = line.operands.first() == "on";
    const QByteArray ssid = line.operands.at(1);
    client.set_autojoin(ssid, on);
    acknowledge(line, QStringLiteral("Auto-join of %1 is %2.")
                          .arg(vtl::wifi::ssid_label(ssid), on ? QStringLiteral("on") : QStringLiteral("off")));
}
