#include "vtl/wifi.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <iostream>
#include <stdexcept>

using vtl::wifi::Client;
using vtl::wifi::Network;
using vtl::wifi::Security;
using vtl::wifi::Status;
using vtl::wifi::terminal_text;

namespace {

constexpr char usage_text[] =
    "Usage: vantrel-wifi status [--json]\n"
    "       vantrel-wifi list [--json] [--cached]\n"
    "       vantrel-wifi pick\n"
    "       vantrel-wifi connect [--open|--password-stdin] SSID\n"
    "       vantrel-wifi disconnect\n"
    "       vantrel-wifi forget --yes SSID\n"
    "\n"
    "Scanning and switching saved networks do not write storage. Adding or\n"
    "forgetting a network deliberately updates the firmware Wi-Fi file once.\n";

constexpr char unknown_action[] = "Unknown action. Run vantrel-wifi --help.";

struct CommandLine {
    QString action;
    QStringList operands;
    bool as_json = false;
    bool cached = false;
    bool password_stdin = false;
    bool open = false;
    bool yes = false;
};

void usage()
{
    std::cout << usage_text;
}

void write_out(const QByteArray& bytes)
{
    std::cout.write(bytes.constData(), bytes.size());
}

// Every text line goes through here: it may carry a name chosen by a stranger.
void write_line(const QString& text)
{
    write_out(terminal_text(text) + '\n');
}

void write_json(const QJsonDocument& document)
{
    write_out(document.toJson(QJsonDocument::Compact) + '\n');
}

bool take_flag(QStringList& arguments, const char* word)
{
    return arguments.removeAll(QLatin1String(word)) > 0;
}

bool is_help(const QString& word)
{
    return word == QLatin1String("help") || word == QLatin1String("--help") || word == QLatin1String("-h");
}

void show_status(const Client& client, const CommandLine& line)
{
    const Status status = client.status();
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

QJsonObject json(const Network& item)
{
    return QJsonObject{{QStringLiteral("ssid"), item.ssid},
                       {QStringLiteral("bssid"), item.bssid},
                       {QStringLiteral("signal"), item.signal},
                       {QStringLiteral("frequency"), item.frequency},
                       {QStringLiteral("security"), Client::security_name(item.security)},
                       {QStringLiteral("supported"), item.security != Security::Unsupported},
                       {QStringLiteral("saved"), item.saved_id >= 0},
                       {QStringLiteral("saved_id"), item.saved_id},
                       {QStringLiteral("current"), item.current}};
}

QString menu_line(int number, const Network& item)
{
    const QString level = item.signal <= -100 ? QStringLiteral("saved") : QStringLiteral("%1 dBm").arg(item.signal);
    return QString::number(number) + QStringLiteral(". ") + (item.current ? QStringLiteral("* ") : QStringLiteral("  "))
        + item.ssid + QStringLiteral("  [") + Client::security_name(item.security) + QStringLiteral(", ") + level
        + (item.saved_id >= 0 ? QStringLiteral(", saved") : QString()) + QStringLiteral("]");
}

void print_networks(const std::vector<Network>& items, bool as_json)
{
    if (as_json) {
        QJsonArray array;
        for (const Network& item : items)
            array.append(json(item));
        write_json(QJsonDocument(array));
        return;
    }
    int number = 0;
    for (const Network& item : items)
        write_line(menu_line(++number, item));
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

void disconnect(const Client& client, const CommandLine& line)
{
    client.disconnect();
    acknowledge(line, QStringLiteral("Wi-Fi disconnected."));
}

void forget(const Client& client, const CommandLine& line)
{
    const QString ssid = line.operands.first();
    client.forget(ssid);
    acknowledge(line, QStringLiteral("Forgot %1.").arg(ssid));
}

struct Action {
    const char* word;
    bool (*accepts)(const CommandLine&);
    const char* refusal;
    void (*run)(const Client&, const CommandLine&);
};

const Action actions[] = {
    {"status", [](const CommandLine&) { return true; }, "", show_status},
    {"list", [](const CommandLine& line) { return line.operands.isEmpty(); }, "list takes no network name.", list},
    {"disconnect", [](const CommandLine& line) { return line.operands.isEmpty(); }, "disconnect takes no arguments.",
     disconnect},
    {"forget", [](const CommandLine& line) { return line.yes && line.operands.size() == 1; },
     "Forgetting writes the saved Wi-Fi file. Use: vantrel-wifi forget --yes SSID", forget},
};

void dispatch(const Client& client, const CommandLine& line)
{
    for (const Action& action : actions) {
        if (line.action != QLatin1String(action.word))
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
    QCoreApplication app(argc, argv);
    try {
        QStringList arguments = QCoreApplication::arguments();
        arguments.removeFirst();
        CommandLine line;
        line.as_json = take_flag(arguments, "--json");
        line.cached = take_flag(arguments, "--cached");
        line.password_stdin = take_flag(arguments, "--password-stdin");
        line.open = take_flag(arguments, "--open");
        line.yes = take_flag(arguments, "--yes");
        if (arguments.isEmpty() || is_help(arguments.first())) {
            usage();
            return 0;
        }
        line.action = arguments.takeFirst();
        line.operands = arguments;
        const Client client{QString()};
        dispatch(client, line);
        return 0;
    } catch (const std::exception& error) {
        const QByteArray message = terminal_text(QString::fromUtf8(error.what()));
        std::cerr << "vantrel-wifi: " << message.constData() << '\n';
        return 1;
    }
}
