#include "support/test_files.h"

#include "vtl/battery.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using vtl::ModemInfo;
using vtl::RadioInfo;

namespace {

// Writes `text` to `name` in `directory` unless `text` is null; returns the path.
QString write_file(const QTemporaryDir& directory, const char* name, const QByteArray& text)
{
    const QString path = directory.filePath(QString::fromUtf8(name));
    if (!text.isNull())
        make_file(path, text);
    return path;
}

// Every field of a modem record, one "name=value" each.
QStringList fields(const ModemInfo& info)
{
    const auto flag = [](bool value) { return QString::fromUtf8(value ? "true" : "false"); };
    return {QStringLiteral("selected=") + flag(info.selected), QStringLiteral("sharing=") + flag(info.sharing),
            QStringLiteral("sharing_active=") + flag(info.sharing_active), QStringLiteral("wifi_ip=") + info.wifi_ip,
            QStringLiteral("sharing_message=") + info.sharing_message,
            QStringLiteral("proxy_port=%1").arg(info.proxy_port), QStringLiteral("policy=") + info.policy,
            QStringLiteral("state=") + info.state, QStringLiteral("number=") + info.number,
            QStringLiteral("call_number=") + info.call_number, QStringLiteral("message=") + info.message,
            QStringLiteral("idle_seconds=%1").arg(info.idle_seconds),
            QStringLiteral("connections=%1").arg(info.connections),
            QStringLiteral("connected_seconds=%1").arg(info.connected_seconds),
            QStringLiteral("idle_remaining=%1").arg(info.idle_remaining)};
}

QStringList fields(const RadioInfo& info)
{
    return {QStringLiteral("state=") + info.state,     QStringLiteral("name=") + info.name,
            QStringLiteral("gid=") + info.gid,         QStringLiteral("ipv4=") + info.ipv4,
            QStringLiteral("ipv6=") + info.ipv6,       QStringLiteral("peers=") + info.peers,
            QStringLiteral("gateway=") + info.gateway, QStringLiteral("message=") + info.message};
}

// The default fields with `changes` (name=value) put in.
QStringList with_changes(QStringList defaults, const QStringList& changes)
{
    for (const QString& change : changes) {
        const QString name = change.section(QLatin1Char('='), 0, 0) + QLatin1Char('=');
        for (QString& field : defaults) {
            if (field.startsWith(name))
                field = change;
        }
    }
    return defaults;
}

const QStringList modem_defaults = fields(ModemInfo());
const QStringList radio_defaults = with_changes(fields(RadioInfo()),
                                                {QStringLiteral("gid=assigned on first connection"),
                                                 QStringLiteral("gateway=No Internet gateway discovered")});

QStringList changes(const char* text)
{
    return QString::fromUtf8(text).split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

} // namespace

class ModemRadioTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void converts_values_data();
    void converts_values();
    void reads_modem_data();
    void reads_modem();
    void chooses_modem_files();
    void summarises_modem_data();
    void summarises_modem();
    void reads_radio_data();
    void reads_radio();
    void cleanup();

private:
    const QByteArray home_ = qgetenv("HOME");
};

void ModemRadioTest::cleanup()
{
    for (const char* name : {"VANTREL_PROXY_STATUS", "VANTREL_GOTENNA_STATUS", "VANTREL_GOTENNA_SETTINGS",
                             "VANTREL_MODEM_STATUS", "VANTREL_MODEM_SETTINGS"})
        qunsetenv(name);
    qputenv("HOME", home_);
}

// One table for the rules that every member follows: a string member
// (message), a whole-number member (connections), a boolean member (sharing).
void ModemRadioTest::converts_values_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("connections");
    QTest::addColumn<bool>("sharing");
    QTest::newRow("string") << QByteArray("\"5\"") << "5" << 0 << false;
    QTest::newRow("empty string") << QByteArray("\"\"") << "" << 0 << false;
    QTest::newRow("whole number") << QByteArray("5") << "" << 5 << false;
    QTest::newRow("negative") << QByteArray("-7") << "" << -7 << false;
    QTest::newRow("2.5") << QByteArray("2.5") << "" << 0 << false;
    QTest::newRow("5.0") << QByteArray("5.0") << "" << 5 << false;
    QTest::newRow("1e12") << QByteArray("1e12") << "" << 0 << false;
    QTest::newRow("1e3") << QByteArray("1e3") << "" << 1000 << false;
    QTest::newRow("32-bit maximum") << QByteArray("2147483647") << "" << 2147483647 << false;
    QTest::newRow("32-bit overflow") << QByteArray("2147483648") << "" << 0 << false;
    QTest::newRow("32-bit minimum") << QByteArray("-2147483648") << "" << int(-2147483648LL) << false;
    QTest::newRow("32-bit underflow") << QByteArray("-2147483649") << "" << 0 << false;
    QTest::newRow("true") << QByteArray("true") << "" << 0 << true;
    QTest::newRow("false") << QByteArray("false") << "" << 0 << false;
    QTest::newRow("null") << QByteArray("null") << "" << 0 << false;
    QTest::newRow("1 is no boolean") << QByteArray("1") << "" << 1 << false;
    QTest::newRow("\"true\" is no boolean") << QByteArray("\"true\"") << "true" << 0 << false;
    QTest::newRow("array") << QByteArray("[1]") << "" << 0 << false;
    QTest::newRow("object") << QByteArray("{\"a\":1}") << "" << 0 << false;
}

void ModemRadioTest::converts_values()
{
    QFETCH(QByteArray, value);
    const QTemporaryDir directory;
    const QString status = write_file(
        directory, "status.json",
        "{\"message\":" + value + ",\"connections\":" + value + ",\"sharing\":" + value + "}");
    qputenv("VANTREL_PROXY_STATUS", directory.filePath(QStringLiteral("none")).toLocal8Bit());
    const ModemInfo info = vtl::read_modem(status, directory.filePath(QStringLiteral("none")));
    QTEST(info.message, "message");
    QTEST(info.connections, "connections");
    QTEST(info.sharing, "sharing");
}

void ModemRadioTest::reads_modem_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QByteArray>("proxy");
    QTest::addColumn<QStringList>("expected");
    const QByteArray none;

    QTest::newRow("no files") << none << none << none << modem_defaults;
    QTest::newRow("everything")
        << QByteArray("{\"selected\":true,\"policy\":\"auto\",\"state\":\"online\",\"number\":\"#777\","
                      "\"call_number\":\"*99#\",\"idle_seconds\":120,\"connections\":3,\"connected_seconds\":600,"
                      "\"idle_remaining\":45,\"message\":\"Call up\",\"sharing\":true,\"extra\":[1,2]}")
        << QByteArray("{\"number\":\"#99\",\"idle_seconds\":300}")
        << QByteArray("{\"sharing_active\":true,\"wifi_ip\":\"10.0.0.2\",\"proxy_port\":8080,"
                      "\"sharing_message\":\"Proxy up\"}")
        << QStringList{QStringLiteral("selected=true"), QStringLiteral("sharing=true"),
                       QStringLiteral("sharing_active=true"), QStringLiteral("wifi_ip=10.0.0.2"),
                       QStringLiteral("sharing_message=Proxy up"), QStringLiteral("proxy_port=8080"),
                       QStringLiteral("policy=auto"), QStringLiteral("state=online"), QStringLiteral("number=#99"),
                       QStringLiteral("call_number=*99#"), QStringLiteral("message=Call up"),
                       QStringLiteral("idle_seconds=300"), QStringLiteral("connections=3"),
                       QStringLiteral("connected_seconds=600"), QStringLiteral("idle_remaining=45")};
    QTest::newRow("settings number also names the call")
        << QByteArray("{\"number\":\"#777\"}") << QByteArray("{\"number\":\"#99\"}") << none
        << with_changes(modem_defaults, changes("number=#99;call_number=#99"));
    QTest::newRow("settings number as a JSON number ignored")
        << QByteArray("{\"number\":\"#555\"}") << QByteArray("{\"number\":99}") << none
        << with_changes(modem_defaults, changes("number=#555;call_number=#555"));
    QTest::newRow("status idle_seconds when settings have none")
        << QByteArray("{\"idle_seconds\":120}") << QByteArray("{\"idle_seconds\":\"300\"}") << none
        << with_changes(modem_defaults, changes("idle_seconds=120"));
    QTest::newRow("idle_remaining 12.5") << QByteArray("{\"idle_remaining\":12.5}") << none << none << modem_defaults;
    QTest::newRow("status is an array") << QByteArray("[{\"selected\":true,\"policy\":\"auto\"}]") << none << none
                                        << modem_defaults;
    QTest::newRow("invalid JSON") << QByteArray("{selected: true}") << none << none << modem_defaults;
    QTest::newRow("half-written file") << QByteArray("{\"selected\":true,\"policy\":\"au") << none << none
                                       << modem_defaults;
    QTest::newRow("empty files") << QByteArray("") << QByteArray("") << QByteArray("") << modem_defaults;
    QTest::newRow("a JSON string") << QByteArray("\"selected\"") << none << none << modem_defaults;
    QTest::newRow("binary garbage") << QByteArray("\x00\xff\xfe{", 4) << none << none << modem_defaults;
    const QByteArray online = "{\"selected\":true,\"policy\":\"auto\",\"state\":\"online\"}";
    QTest::newRow("a FIFO and a file without end: defaults at once")
        << QByteArray("|") << QByteArray("->/dev/zero") << QByteArray("|") << modem_defaults;
    QTest::newRow("64 KiB: read") << online + QByteArray(65536 - online.size(), ' ') << none << none
                                  << with_changes(modem_defaults, changes("selected=true;policy=auto;state=online"));
    QTest::newRow("a byte more: malformed") << online + QByteArray(65537 - online.size(), ' ') << none << none
                                            << modem_defaults;
    QTest::newRow("proxy port out of range") << none << none << QByteArray("{\"proxy_port\":1e10}") << modem_defaults;
}

void ModemRadioTest::reads_modem()
{
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, settings);
    QFETCH(QByteArray, proxy);
    const QTemporaryDir directory;
    qputenv("VANTREL_PROXY_STATUS", write_file(directory, "proxy.json", proxy).toLocal8Bit());
    const ModemInfo info = vtl::read_modem(write_file(directory, "status.json", status),
                                           write_file(directory, "settings.json", settings));
    QTEST(fields(info), "expected");
}

void ModemRadioTest::chooses_modem_files()
{
    const QTemporaryDir directory;
    QDir(directory.path()).mkpath(QStringLiteral(".config/vantrel-corvane"));
    write_file(directory, ".config/vantrel-corvane/modem.json", "{\"number\":\"#home\"}");
    const QString status = write_file(directory, "status.json", "{\"number\":\"#status\",\"state\":\"s\"}");
    const QString settings = write_file(directory, "settings.json", "{\"number\":\"#settings\"}");
    qputenv("VANTREL_PROXY_STATUS", QByteArray());

    qputenv("HOME", directory.path().toLocal8Bit());
    QCOMPARE(vtl::read_modem(QString(), QString()).number, QStringLiteral("#home"));
    qputenv("VANTREL_MODEM_SETTINGS", settings.toLocal8Bit());
    qputenv("VANTREL_MODEM_STATUS", status.toLocal8Bit());
    const ModemInfo from_variables = vtl::read_modem(QString(), QString());
    QCOMPARE(from_variables.number, QStringLiteral("#settings"));
    QCOMPARE(from_variables.state, QStringLiteral("s"));
    // A set but empty variable names no file, not the default.
    qputenv("VANTREL_MODEM_SETTINGS", QByteArray());
    QCOMPARE(vtl::read_modem(QString(), QString()).number, QStringLiteral("#status"));
    // Arguments win over the variables.
    const ModemInfo from_arguments = vtl::read_modem(directory.filePath(QStringLiteral("none")), settings);
    QCOMPARE(from_arguments.number, QStringLiteral("#settings"));
    QCOMPARE(from_arguments.state, QStringLiteral("off"));
    // Without HOME the settings are looked for under the root, where there are none.
    qunsetenv("VANTREL_MODEM_SETTINGS");
    qunsetenv("HOME");
    QCOMPARE(vtl::read_modem(QString(), QString()).number, QStringLiteral("#status"));
}

void ModemRadioTest::summarises_modem_data()
{
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QString>("policy");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("summary");
    QTest::newRow("defaults") << false << "off" << "off" << "Modem off";
    QTest::newRow("selected, policy off") << true << "off" << "online" << "Modem off";
    QTest::newRow("not selected, online") << false << "auto" << "online" << "Modem off";
    QTest::newRow("dialing") << true << "auto" << "dialing" << "Modem dialing";
    QTest::newRow("negotiating") << true << "manual" << "negotiating" << "Modem dialing";
    QTest::newRow("disconnecting") << true << "auto" << "disconnecting" << "Modem hanging up";
    QTest::newRow("ready") << true << "auto" << "ready" << "Modem PPP ready";
    QTest::newRow("online") << true << "auto" << "online" << "Modem connected";
    QTest::newRow("failed") << true << "manual" << "failed" << "Modem failed";
    QTest::newRow("auto, off") << true << "auto" << "off" << QString::fromUtf8("Modem auto \xc2\xb7 idle");
    QTest::newRow("Online with a capital") << true << "auto" << "Online" << QString::fromUtf8("Modem auto \xc2\xb7 idle");
    QTest::newRow("manual, off") << true << "manual" << "off" << "Modem disconnected";
    QTest::newRow("Auto with a capital") << true << "Auto" << "idle" << "Modem disconnected";
}

void ModemRadioTest::summarises_modem()
{
    QFETCH(bool, selected);
    QFETCH(QString, policy);
    QFETCH(QString, state);
    ModemInfo info;
    info.selected = selected;
    info.policy = policy;
    info.state = state;
    QTEST(info.compact(), "summary");
}

void ModemRadioTest::reads_radio_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QStringList>("expected");
    const QByteArray none;

    QTest::newRow("no files") << none << none << radio_defaults;
    QTest::newRow("everything")
        << QByteArray("{\"state\":\"connected\",\"ipv4\":\"10.9.0.1\",\"ipv6\":\"fd00::1\",\"gateway\":42,"
                      "\"lastError\":\"none\",\"peers\":[{\"dnsName\":\"tower.mesh\",\"ipv6\":\"fd00::2\"},"
                      "{\"gid\":255}]}")
        << QByteArray("{\"nodeName\":\"Scout\",\"gid\":815}")
        << QStringList{QStringLiteral("state=connected"), QStringLiteral("name=Scout"), QStringLiteral("gid=815"),
                       QStringLiteral("ipv4=10.9.0.1"), QStringLiteral("ipv6=fd00::1"),
                       QStringLiteral("peers=tower.mesh  fd00::2\ngotenna-0000000000ff.mesh.local  "),
                       QStringLiteral("gateway=42"), QStringLiteral("message=none")};
    QTest::newRow("gid 0 and as a string")
        << QByteArray("{\"gateway\":\"42\"}") << QByteArray("{\"gid\":\"815\"}") << radio_defaults;
    QTest::newRow("gid 0") << none << QByteArray("{\"gid\":0}") << radio_defaults;
    QTest::newRow("negative gid") << none << QByteArray("{\"gid\":-5}") << radio_defaults;
    QTest::newRow("fraction dropped") << QByteArray("{\"gateway\":42.9}") << QByteArray("{\"gid\":0.5}")
                                      << with_changes(radio_defaults, changes("gateway=42"));
    QTest::newRow("above 2^53 loses its lowest digits")
        << none << QByteArray("{\"gid\":9007199254740993}")
        << with_changes(radio_defaults, changes("gid=9007199254740992"));
    QTest::newRow("beyond 2^64: the largest") << QByteArray("{\"gateway\":1e30}")
                                              << QByteArray("{\"gid\":18446744073709551616}")
                                              << with_changes(radio_defaults,
                                                              changes("gid=18446744073709551615;"
                                                                      "gateway=18446744073709551615"));
    QTest::newRow("empty dnsName, long gid")
        << QByteArray("{\"peers\":[{\"dnsName\":\"\",\"gid\":281474976710656,\"ipv6\":\"fd00::3\"}]}") << none
        << with_changes(radio_defaults, changes("peers=gotenna-1000000000000.mesh.local  fd00::3"));
    QTest::newRow("peer elements that are no objects")
        << QByteArray("{\"peers\":[7,\"x\"]}") << none
        << with_changes(radio_defaults, {QStringLiteral("peers=gotenna-000000000000.mesh.local  \n"
                                                        "gotenna-000000000000.mesh.local  ")});
    QTest::newRow("peers as an object") << QByteArray("{\"peers\":{\"gid\":1}}") << none << radio_defaults;
    QTest::newRow("peers as a string") << QByteArray("{\"peers\":\"tower\"}") << none << radio_defaults;
    QTest::newRow("state as a number") << QByteArray("{\"state\":3}") << none << radio_defaults;
    QTest::newRow("settings half-written") << none << QByteArray("{\"nodeName\":\"Sc") << radio_defaults;
    QTest::newRow("status is an array") << QByteArray("[{\"state\":\"connected\"}]") << none << radio_defaults;
    QTest::newRow("a FIFO and a file without end") << QByteArray("|") << QByteArray("->/dev/zero") << radio_defaults;
}

void ModemRadioTest::reads_radio()
{
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, settings);
    const QTemporaryDir directory;
    qputenv("VANTREL_GOTENNA_STATUS", write_file(directory, "gotenna-status.json", status).toLocal8Bit());
    qputenv("VANTREL_GOTENNA_SETTINGS", write_file(directory, "gotenna.json", settings).toLocal8Bit());
    QTEST(fields(vtl::read_radio()), "expected");
}

QTEST_GUILESS_MAIN(ModemRadioTest)
#include "modem_radio_test.moc"
