#include "wifi_output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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

QByteArray server_output(const QByteArray& ssid, const ServerChain& server, const QByteArray& identity, bool as_json)
{
    const QString label = vtl::wifi::ssid_label(ssid);
    if (as_json) {
        QJsonArray chain;
        for (const ServerCertificate& certificate : server.chain)
            chain.append(QJsonObject{{QStringLiteral("depth"), certificate.depth},
                                     {QStringLiteral("sha256"), text(certificate.sha256)},
                                     {QStringLiteral("subject"), text(certificate.subject)}});
        QJsonArray names;
        for (const QByteArray& name : server.names)
            names.append(text(name));
        return json_line(QJsonDocument(QJsonObject{
            {QStringLiteral("chain"), chain}, {QStringLiteral("names"), names}, {QStringLiteral("ssid"), label}}));
    }
    const ServerCertificate& leaf = server.chain.front();
    const QByteArray name = server.names.isEmpty() ? common_name(leaf.subject) : server.names.join(", ");
    QByteArray lines = shown_line(QStringLiteral("Server of %1: %2").arg(label, text(name)));
    lines += shown_line(QStringLiteral("  certificate  ") + text(leaf.subject));
    lines += shown_line(QStringLiteral("  sha256       ") + text(leaf.sha256));
    for (size_t depth = 1; depth < server.chain.size(); ++depth)
        lines += shown_line(QStringLiteral("  issued by    ") + text(server.chain[depth].subject));
    // A wildcard name is no domain: the domain it stands for is.
    QByteArray domain = server.names.isEmpty() ? name : server.names.first();
    if (domain.startsWith("*."))
        domain.remove(0, 2);
    const QString who = identity.isEmpty() ? QStringLiteral("NAME") : vtl::wifi::shell_word(text(identity));
    return lines
        + shown_line(QStringLiteral("To trust it: vantrel-wifi connect --eap peap --identity %1 --domain %2 "
                                    "--server-cert %3 --password-stdin %4")
                         .arg(who, vtl::wifi::shell_word(text(domain)), text(leaf.sha256),
                              vtl::wifi::shell_word(label)));
}
