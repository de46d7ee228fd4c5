#include "wifi_actions.h"
#include "wifi_output.h"
#include "wifi_terminal.h"

#include <memory>

#include <unistd.h>

using vtl::wifi::Client;
using vtl::wifi::Credentials;
using vtl::wifi::Enterprise;
using vtl::wifi::Network;
using vtl::wifi::ServerChain;

namespace {

constexpr char trust_needs[] = "trust asks at a terminal; give --server-cert HASH or --ca-cert FILE to trust without asking.";

// PEAP with MSCHAPv2, the most common kind, checked by the system's CAs.
Enterprise ask_enterprise()
{
    vtl::wifi::EnterpriseWords words;
    words.eap = "peap";
    words.identity = input_line(QStringLiteral("Identity: "), false);
    words.domain = input_line(QStringLiteral("Server domain: "), false);
    return vtl::wifi::enterprise_options(words);
}

bool at_terminal()
{
    return isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
}

// A saved check beside what the server showed, when it can be told.
std::optional<SavedCheck> saved_check(const std::optional<Enterprise>& saved, const ServerChain& chain)
{
    const std::optional<bool> takes = saved ? vtl::wifi::check_takes(saved->ca_cert, chain) : std::nullopt;
    return takes ? std::optional<SavedCheck>(SavedCheck{saved->ca_cert, *takes}) : std::nullopt;
}

// Shows what the server showed and asks the person, who may know it; a
// chain with a certificate out of its validity is never offered.
bool trusted_by_person(const QByteArray& ssid, const ServerChain& chain, const std::optional<SavedCheck>& saved)
{
    write_out(server_output(ssid, chain, TrustCommand(), saved, false));
    if (vtl::wifi::outdated(chain, vtl::wifi::utc_now()) || chain.chain.front().depth != 0)
        return false;
    const QByteArray answer = input_line(QStringLiteral("Trust this server? [y/N] "), false).toLower();
    return answer == "y" || answer == "yes";
}

// What trusting on first use takes: the organisation's CA, kept as a file,
// or else the server's certificate pinned; the person is told when the CA
// folder cannot keep the CA.
struct Trusted {
    QByteArray ca_cert;
    std::unique_ptr<vtl::wifi::KeptCa> kept;
};
Trusted trusted_on_first_use(const ServerChain& chain)
{
    Trusted trusted;
    if (const vtl::wifi::ServerCertificate* ca = vtl::wifi::organisation_ca(chain)) {
        trusted.kept = vtl::wifi::KeptCa::write(ca->der);
        if (trusted.kept) {
            trusted.ca_cert = trusted.kept->path();
            return trusted;
        }
        const QByteArray told = QStringLiteral("The CA could not be kept in %1, so the server's certificate is "
                                               "trusted alone: trust it again when it is renewed.")
                                    .arg(QString::fromLocal8Bit(vtl::wifi::ca_folder()))
                                    .toUtf8();
        report(told.constData());
    }
    trusted.ca_cert = vtl::wifi::pinned(chain.chain.front().sha256);
    return trusted;
}

// The outer identity a probe gives, from --identity or --anonymous-identity;
// the method given is only for the command shown: any probe asks for PEAP
// or TTLS, which show the same certificates.
Enterprise probe_options(const CommandLine& line)
{
    vtl::wifi::check_method(line.values.eap);
    vtl::wifi::EnterpriseWords words;
    words.identity = line.values.identity;
    words.anonymous_identity = line.values.anonymous_identity;
    return vtl::wifi::enterprise_options(words);
}

} // namespace

// An enterprise join: the server is checked by a CA and a name, always. A
// TLS key's passphrase is read only when it is given.
void join_enterprise(const Client& client, const Network& item, Enterprise chosen, const QString& prompt,
                     bool hidden_network, bool read_secret)
{
    chosen.sha256_only = vtl::wifi::sha256_only(item.flags.toLatin1());
    client.require_method(chosen.method);
    const QByteArray secret = read_secret ? input_line(prompt, !prompt.isEmpty()) : QByteArray();
    client.connect_new(item.ssid_bytes, chosen.method == "TLS" ? Credentials::Certificate : Credentials::Enterprise,
                       secret, connect_timeout_ms, hidden_network, chosen);
}

// The words for an enterprise join, the passphrase flag among them.
Enterprise chosen_by(const CommandLine& line)
{
    vtl::wifi::EnterpriseWords words = line.values;
    words.passphrase = line.password_stdin;
    return vtl::wifi::enterprise_options(words);
}

std::runtime_error not_enterprise(const Network& item)
{
    return vtl::wifi::failure(QStringLiteral("%1 is not an enterprise network.").arg(item.ssid));
}

// Shows the certificates of an enterprise network's server, and how to trust them.
void server(const Client& client, const CommandLine& line)
{
    Enterprise chosen = probe_options(line);
    const Network item = looked_up(client, line);
    if (item.credentials != Credentials::Enterprise)
        throw not_enterprise(item);
    chosen.sha256_only = vtl::wifi::sha256_only(item.flags.toLatin1());
    const std::optional<Enterprise> saved = item.saved_id >= 0 ? client.enterprise_of(item.saved_id) : std::nullopt;
    const ServerChain shown = client.server_chain(item.ssid_bytes, chosen, line.hidden, connect_timeout_ms);
    throw_if_interrupted();
    const TrustCommand command{saved ? TrustCommand::Trust : TrustCommand::Connect, line.values.eap.value_or(QByteArray()),
                               line.values.identity.value_or(QByteArray())};
    write_out(server_output(item.ssid_bytes, shown, command, saved_check(saved, shown), line.as_json));
}

// A saved enterprise network's server check, taken anew: the server is
// probed and shown, and a person at a terminal says whether to trust it;
// a script names the CA file or the certificate. Only the check changes.
void trust(const Client& client, const CommandLine& line)
{
    const bool given = line.values.server_cert || line.values.ca_cert;
    if (!given && !at_terminal())
        throw std::runtime_error(trust_needs);
    vtl::wifi::EnterpriseWords words;
    words.server_cert = line.values.server_cert;
    words.ca_cert = line.values.ca_cert;
    const Enterprise check = vtl::wifi::enterprise_options(words);
    const Network item = looked_up(client, line);
    if (item.saved_id < 0)
        throw vtl::wifi::not_saved(item.ssid_bytes);
    const std::optional<Enterprise> saved = client.enterprise_of(item.saved_id);
    if (!saved)
        throw not_enterprise(item);
    if (given) {
        client.trust(item.saved_id, item.ssid_bytes, *saved, check.ca_cert, connect_timeout_ms);
    } else {
        Enterprise probe;
        probe.sha256_only = vtl::wifi::sha256_only(item.flags.toLatin1());
        probe.anonymous_identity = saved->anonymous_identity;
        const ServerChain shown = client.server_chain(item.ssid_bytes, probe, line.hidden, connect_timeout_ms);
        if (!trusted_by_person(item.ssid_bytes, shown, saved_check(saved, shown)))
            throw Told();
        const Trusted trusted = trusted_on_first_use(shown);
        client.trust(item.saved_id, item.ssid_bytes, *saved, trusted.ca_cert, connect_timeout_ms);
        if (trusted.kept)
            trusted.kept->keep();
    }
    acknowledge(line, connected_line(item.ssid));
}

// On a terminal, a server whose chain ends at a CA the check does not hold
// is shown, and the person who knows it may trust it: the join is tried
// again with the organisation's CA, or the server's certificate pinned.
void join_picked_enterprise(const Client& client, const Network& item)
{
    const QString prompt = QStringLiteral("Wi-Fi password: ");
    Enterprise chosen = ask_enterprise();
    try {
        join_enterprise(client, item, chosen, prompt, false);
    } catch (const vtl::wifi::UntrustedServer& untrusted) {
        if (!at_terminal() || untrusted.chain().chain.empty())
            throw;
        report(untrusted.what());
        if (!trusted_by_person(item.ssid_bytes, untrusted.chain(), std::nullopt))
            throw Told();
        const Trusted trusted = trusted_on_first_use(untrusted.chain());
        chosen.ca_cert = trusted.ca_cert;
        join_enterprise(client, item, chosen, prompt, false);
        if (trusted.kept)
            trusted.kept->keep();
    }
}
