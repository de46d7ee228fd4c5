#include "wifi_output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

using vtl::wifi::CertificateFacts;
using vtl::wifi::Client;
using vtl::wifi::Network;
using vtl::wifi::ServerCertificate;
using vtl::wifi::ServerChain;

namespace {

QByteArray json_line(const QJsonDocument& document)
{
    return vtl::wifi::json_text(document.toJson(QJsonDocument::Compact)) + '\n';
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

QString text(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes);
}

// The name a subject gives after its last "/CN=".
QByteArray common_name(const QByteArray& subject)
{
    const qsizetype at = subject.lastIndexOf("/CN=");
    if (at < 0)
        return QByteArray();
    const qsizetype end = subject.indexOf('/', at + 4);
    return subject.mid(at + 4, end < 0 ? -1 : end - at - 4);
}

// YYYYMMDDHHMMSS as a date, YYYY-MM-DD.
QString date(const QByteArray& time)
{
    return text(time.left(4) + '-' + time.mid(4, 2) + '-' + time.mid(6, 2));
}

// YYYYMMDDHHMMSS as ISO 8601 in UTC, for scripts.
QString iso_time(const QByteArray& time)
{
    return date(time) + QLatin1Char('T') + text(time.mid(8, 2) + ':' + time.mid(10, 2) + ':' + time.mid(12, 2) + 'Z');
}

// What the saved check of a network trusts, when it does not take the server.
QString saved_refusal(const QString& label, const QByteArray& ca_cert)
{
    const QByteArray pin = vtl::wifi::pinned(QByteArray());
    if (ca_cert.startsWith(pin))
        return QStringLiteral("The check saved for %1 does not take this server: it trusts the certificate with "
                              "sha256 %2.")
            .arg(label, text(ca_cert.mid(pin.size())));
    return QStringLiteral("The check saved for %1 does not take this server: its CA file %2 issued none of these "
                          "certificates.")
        .arg(label, QString::fromLocal8Bit(ca_cert));
}

// A certificate's lines: the server's own with its issuer and validity, any
// other with what it is and until when.
QByteArray certificate_lines(const ServerCertificate& certificate, bool leaf)
{
    const std::optional<CertificateFacts> facts = vtl::wifi::read_certificate(certificate.der);
    const QByteArray now = vtl::wifi::utc_now();
    const QString state = !facts                      ? QString()
        : now > facts->not_after                      ? QStringLiteral(", expired")
        : now < facts->not_before                     ? QStringLiteral(", not valid yet")
                                                      : QString();
    QByteArray lines = shown_line((leaf ? QStringLiteral("  certificate  ") : QStringLiteral("  issued by    "))
                                  + text(certificate.subject));
    if (facts && leaf)
        lines += shown_line(QStringLiteral("  issuer       ") + text(facts->issuer))
            + shown_line(QStringLiteral("  valid        %1 to %2").arg(date(facts->not_before), date(facts->not_after))
                         + state);
    else if (facts)
        lines += shown_line(QStringLiteral("  valid until  ") + date(facts->not_after)
                            + (facts->self_signed ? QStringLiteral(", self-signed") : QString()) + state);
    return lines + shown_line(QStringLiteral("  sha256       ") + text(certificate.sha256));
}

QByteArray server_json(const QString& label, const ServerChain& server, const ServerCertificate* ca, bool offered,
                       const std::optional<SavedCheck>& saved)
{
    QJsonArray chain;
    for (const ServerCertificate& certificate : server.chain) {
        QJsonObject entry{{QStringLiteral("depth"), certificate.depth},
                          {QStringLiteral("sha256"), text(certificate.sha256)},
                          {QStringLiteral("subject"), text(certificate.subject)}};
        if (const std::optional<CertificateFacts> facts = vtl::wifi::read_certificate(certificate.der)) {
            entry.insert(QStringLiteral("issuer"), text(facts->issuer));
            entry.insert(QStringLiteral("not_after"), iso_time(facts->not_after));
            entry.insert(QStringLiteral("not_before"), iso_time(facts->not_before));
            entry.insert(QStringLiteral("self_signed"), facts->self_signed);
        }
        chain.append(entry);
    }
    QJsonArray names;
    for (const QByteArray& name : server.names)
        names.append(text(name));
    QJsonObject object{{QStringLiteral("chain"), chain}, {QStringLiteral("names"), names},
                       {QStringLiteral("ssid"), label},
                       {QStringLiteral("trusts"), !offered ? QStringLiteral("nothing")
                                                  : ca     ? QStringLiteral("ca")
                                                           : QStringLiteral("certificate")}};
    if (saved)
        object.insert(QStringLiteral("saved_check_takes"), saved->takes);
    return json_line(QJsonDocument(object));
}

} // namespace

QByteArray shown_line(const QString& line)
{
    return vtl::wifi::terminal_text(line) + '\n';
}

QByteArray status_output(const vtl::wifi::Status& status, const vtl::wifi::Signal& signal, bool as_json)
{
    if (as_json) {
        QJsonObject object{{QStringLiteral("state"), status.state},
                           {QStringLiteral("ssid"), status.ssid},
                           {QStringLiteral("address"), status.address},
                           {QStringLiteral("saved_id"), status.saved_id}};
        const std::pair<const char*, std::optional<int>> told[] = {
            {"signal", signal.rssi}, {"frequency", signal.frequency}, {"link_speed", signal.link_speed}};
        for (const auto& [name, value] : told) {
            if (value)
                object.insert(QLatin1String(name), *value);
        }
        return json_line(QJsonDocument(object));
    }
    return shown_line(QStringLiteral("State: ") + status.state) + shown_line(QStringLiteral("Network: ") + status.ssid)
        + shown_line(QStringLiteral("Address: ") + status.address);
}

QByteArray networks_output(const std::vector<Network>& items, bool as_json)
{
    if (as_json) {
        QJsonArray array;
        for (const Network& item : items)
            array.append(json(item));
        return json_line(QJsonDocument(array));
    }
    QByteArray lines;
    int number = 0;
    for (const Network& item : items)
        lines += shown_line(menu_line(++number, item));
    return lines;
}

QByteArray saved_output(const std::vector<vtl::wifi::SavedNetwork>& saved, bool as_json)
{
    const auto yes = [](bool value) { return value ? QStringLiteral("yes") : QStringLiteral("no"); };
    if (as_json) {
        QJsonArray array;
        for (const vtl::wifi::SavedNetwork& network : saved)
            array.append(QJsonObject{{QStringLiteral("ssid"), network.ssid}, {QStringLiteral("saved_id"), network.saved_id},
                                     {QStringLiteral("security"), network.security},
                                     {QStringLiteral("hidden"), network.hidden},
                                     {QStringLiteral("priority"), network.priority},
                                     {QStringLiteral("autojoin"), network.autojoin},
                                     {QStringLiteral("current"), network.current}});
        return json_line(QJsonDocument(array));
    }
    if (saved.empty())
        return QByteArray();
    std::vector<QStringList> rows = {{QStringLiteral("Name"), QStringLiteral("Security"), QStringLiteral("Hidden"),
                                      QStringLiteral("Priority"), QStringLiteral("Auto-join"), QStringLiteral("In use")}};
    for (const vtl::wifi::SavedNetwork& network : saved)
        rows.push_back({QString::fromUtf8(vtl::wifi::terminal_text(network.ssid)), network.security, yes(network.hidden),
                        QString::number(network.priority),
                        network.autojoin ? QStringLiteral("on") : QStringLiteral("off"), yes(network.current)});
    std::vector<qsizetype> widths(rows.front().size());
    for (const QStringList& row : rows) {
        for (qsizetype column = 0; column < row.size(); ++column)
            widths[size_t(column)] = std::max(widths[size_t(column)], row.at(column).size());
    }
    QByteArray lines;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype column = 0; column + 1 < row.size(); ++column)
            line += row.at(column).leftJustified(widths[size_t(column)] + 2);
        lines += (line + row.last()).toUtf8() + '\n';
    }
    return lines;
}

QByteArray server_output(const QByteArray& ssid, const ServerChain& server, const TrustCommand& command,
                         const std::optional<SavedCheck>& saved, bool as_json)
{
    const QString label = vtl::wifi::ssid_label(ssid);
    const ServerCertificate* ca = vtl::wifi::organisation_ca(server);
    const bool offered = !vtl::wifi::outdated(server, vtl::wifi::utc_now());
    if (as_json)
        return server_json(label, server, ca, offered, saved);
    const ServerCertificate& leaf = server.chain.front();
    const std::optional<CertificateFacts> facts = vtl::wifi::read_certificate(leaf.der);
    const QByteArrayList dns = !server.names.isEmpty() ? server.names : facts ? facts->dns_names : QByteArrayList();
    const QByteArray name = dns.isEmpty() ? common_name(leaf.subject) : dns.join(", ");
    QByteArray lines;
    if (saved && !saved->takes)
        lines += shown_line(saved_refusal(label, saved->ca_cert));
    lines += shown_line(QStringLiteral("Server of %1: %2").arg(label, text(name)));
    for (const ServerCertificate& certificate : server.chain)
        lines += certificate_lines(certificate, &certificate == &leaf);
    if (!offered)
        return lines + shown_line(QStringLiteral("A certificate is past its validity or not valid yet: it is not "
                                                 "offered for trust."));
    lines += shown_line(ca ? QStringLiteral("Trusting it trusts the CA %1, which vouches for the server's next "
                                            "certificates too; compare the CA's sha256 with the one your "
                                            "organisation publishes.")
                                 .arg(text(ca->subject))
                           : QStringLiteral("Trusting it trusts this server certificate alone, which must be trusted "
                                            "again when it is renewed; compare its sha256 with the one your "
                                            "organisation publishes."));
    if (command.kind == TrustCommand::None)
        return lines;
    // The organisation's CA is a file the person has from it; the server's certificate is its fingerprint.
    const QString check = ca ? QStringLiteral("--ca-cert FILE") : QStringLiteral("--server-cert ") + text(leaf.sha256);
    if (command.kind == TrustCommand::Trust)
        return lines + shown_line(QStringLiteral("To trust it: vantrel-wifi trust %1 %2").arg(vtl::wifi::shell_word(label), check));
    // A wildcard name is no domain: the domain it stands for is.
    QByteArray domain = dns.isEmpty() ? name : dns.first();
    if (domain.startsWith("*."))
        domain.remove(0, 2);
    const QString who = command.identity.isEmpty() ? QStringLiteral("NAME") : vtl::wifi::shell_word(text(command.identity));
    const QString method = command.method.isEmpty() ? QStringLiteral("METHOD") : text(command.method);
    const QString secret = command.method == "tls" ? QStringLiteral("--private-key FILE") : QStringLiteral("--password-stdin");
    return lines
        + shown_line(QStringLiteral("To trust it: vantrel-wifi connect --eap %1 --identity %2 --domain %3 %4 %5 %6")
                         .arg(method, who, vtl::wifi::shell_word(text(domain)), check, secret,
                              vtl::wifi::shell_word(label)));
}
