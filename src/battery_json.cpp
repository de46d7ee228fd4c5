#include "vtl/battery.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace vtl {
namespace {

// The kernel's charging states and their names for a style sheet.
QString state_class(const BatteryInfo& battery)
{
    static const char* const states[][2] = {{"Charging", "charging"}, {"Discharging", "discharging"},
                                            {"Full", "full"},         {"Not charging", "not-charging"},
                                            {"Unknown", "unknown"}};
    for (const auto& [kernel, name] : states) {
        if (battery.available() && battery.status.compare(QLatin1String(kernel), Qt::CaseInsensitive) == 0)
            return QLatin1String(name);
    }
    return QStringLiteral("unknown");
}

QJsonObject modem_object(const ModemInfo& modem)
{
    return {{QStringLiteral("selected"), modem.selected},
            {QStringLiteral("sharing"), modem.sharing},
            {QStringLiteral("sharing_active"), modem.sharing_active},
            {QStringLiteral("wifi_ip"), modem.wifi_ip},
            {QStringLiteral("sharing_message"), modem.sharing_message},
            {QStringLiteral("proxy_port"), modem.proxy_port},
            {QStringLiteral("policy"), modem.policy},
            {QStringLiteral("state"), modem.state},
            {QStringLiteral("number"), modem.number},
            {QStringLiteral("call_number"), modem.call_number},
            {QStringLiteral("message"), modem.message},
            {QStringLiteral("idle_seconds"), modem.idle_seconds},
            {QStringLiteral("connections"), modem.connections},
            {QStringLiteral("connected_seconds"), modem.connected_seconds},
            {QStringLiteral("idle_remaining"), modem.idle_remaining},
            {QStringLiteral("summary"), modem.compact()}};
}

QJsonObject radio_object(const RadioInfo& radio)
{
    return {{QStringLiteral("state"), radio.state}, {QStringLiteral("name"), radio.name},
            {QStringLiteral("gid"), radio.gid},     {QStringLiteral("ipv4"), radio.ipv4},
            {QStringLiteral("ipv6"), radio.ipv6},   {QStringLiteral("peers"), radio.peers},
            {QStringLiteral("gateway"), radio.gateway}, {QStringLiteral("message"), radio.message}};
}

// Compact JSON leaves DEL and the C1 controls (C2 80 to C2 9F) raw: written
// as \u escapes they are the same JSON, and nothing a terminal acts on. Built
// a byte at a time: every Qt function the program calls is one more symbol
// the dynamic linker looks up at every start, the prompt's too.
QByteArray without_controls(const QByteArray& json)
{
    static const char hex[] = "0123456789abcdef";
    QByteArray escaped;
    escaped.reserve(json.size() + 1);
    for (qsizetype at = 0; at < json.size(); ++at) {
        uchar c = uchar(json.at(at));
        const bool c1 = c == 0xc2 && at + 1 < json.size() && uchar(json.at(at + 1)) <= 0x9f;
        if (c != 0x7f && !c1) {
            escaped.append(char(c));
            continue;
        }
        if (c1)
            c = uchar(json.at(++at));
        for (const char e : {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]})
            escaped.append(e);
    }
    escaped.append('\n');
    return escaped;
}

} // namespace

QByteArray status_json(const BatteryInfo& battery, const ModemInfo& modem, const RadioInfo& radio)
{
    QJsonObject object{
        {QStringLiteral("text"), prompt_line(battery, modem)},
        {QStringLiteral("tooltip"), report_text(battery, modem)},
        {QStringLiteral("class"), state_class(battery)},
        {QStringLiteral("battery"),
         QJsonObject{{QStringLiteral("percent"), battery.percent}, {QStringLiteral("status"), battery.status}}},
        {QStringLiteral("modem"), modem_object(modem)},
        {QStringLiteral("radio"), radio_object(radio)}};
    if (battery.available())
        object.insert(QStringLiteral("percentage"), battery.percent);
    return without_controls(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace vtl
