#include "wifi_actions.h"
#include "wifi_output.h"
#include "wifi_terminal.h"

#include <unistd.h>

using vtl::wifi::Client;
using vtl::wifi::Credentials;
using vtl::wifi::Network;

namespace {

// PEAP with MSCHAPv2, the most common kind, checked by the system's CAs.
vtl::wifi::Enterprise ask_enterprise()
{
    vtl::wifi::EnterpriseWords words;
    words.eap = "peap";
    words.identity = input_line(QStringLiteral("Identity: "), false);
    words.domain = input_line(QStringLiteral("Server domain: "), false);
    return vtl::wifi::enterprise_options(words);
}

} // namespace

// An enterprise join: the server is checked by a CA and a name, always. A
// TLS key's passphrase is read only when it is given.
void join_enterprise(const Client& client, const Network& item, vtl::wifi::Enterprise chosen, const QString& prompt,
                     bool hidden_network, bool read_secret)
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

std::runtime_error not_enterprise(const Network& item)
{
    return vtl::wifi::failure(QStringLiteral("%1 is not an enterprise network.").arg(item.ssid));
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
