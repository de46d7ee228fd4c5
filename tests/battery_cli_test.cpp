#include "support/test_files.h"
#include "support/tool_run.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QByteArray usage_text = "Usage: vantrel-battery [--percentage|--prompt]\n";

// A tablet's files: a power-supply tree and the modem's JSON files.
class Tablet {
public:
    Tablet()
    {
        add_supply("AC", {{"type", "Mains"}, {"online", "1"}});
        add_supply("BAT0", {{"type", "Battery"}, {"capacity", "57"}, {"status", "Discharging"}});
    }

    void add_supply(const char* name, const QList<QPair<const char*, const char*>>& attributes)
    {
        const QString device = directory_.filePath(QStringLiteral("devices/") + QLatin1String(name));
        QDir().mkpath(device);
        QDir().mkpath(root());
        for (const auto& [attribute, value] : attributes)
            write(device + QLatin1Char('/') + QLatin1String(attribute), QByteArray(value) + '\n');
        QFile::link(device, root() + QLatin1Char('/') + QLatin1String(name));
    }
    void set_modem(const QByteArray& status) { write(directory_.filePath(QStringLiteral("modem-status.json")), status); }
    // The mesh radio's status and settings, and the proxy's.
    void set_radio(const QByteArray& status, const QByteArray& settings, const QByteArray& proxy)
    {
        write(directory_.filePath(QStringLiteral("gotenna-status.json")), status);
        write(directory_.filePath(QStringLiteral("gotenna.json")), settings);
        write(directory_.filePath(QStringLiteral("proxy.json")), proxy);
    }
    void set_home_settings(const QByteArray& settings)
    {
        QDir().mkpath(home() + QStringLiteral("/.config/vantrel-corvane"));
        write(home() + QStringLiteral("/.config/vantrel-corvane/modem.json"), settings);
    }

    QString root() const { return directory_.filePath(QStringLiteral("power_supply")); }
    QString path(const QString& name) const { return directory_.filePath(name); }
    QString home() const { return directory_.filePath(QStringLiteral("home")); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = clean_environment();
        environment.insert(QStringLiteral("VANTREL_BATTERY_ROOT"), root());
        environment.insert(QStringLiteral("VANTREL_MODEM_STATUS"), directory_.filePath(QStringLiteral("modem-status.json")));
        environment.insert(QStringLiteral("VANTREL_PROXY_STATUS"), directory_.filePath(QStringLiteral("proxy.json")));
        environment.insert(QStringLiteral("VANTREL_GOTENNA_STATUS"), directory_.filePath(QStringLiteral("gotenna-status.json")));
        environment.insert(QStringLiteral("VANTREL_GOTENNA_SETTINGS"), directory_.filePath(QStringLiteral("gotenna.json")));
        environment.insert(QStringLiteral("HOME"), home());
        return environment;
    }

    // Every file under the tablet's directory with its contents, to show nothing was written.
    QStringList snapshot() const
    {
        QStringList result;
        QDirIterator files(directory_.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            QFile file(path);
            // Only regular files are read: a FIFO would wait for a writer.
            const bool readable = files.fileInfo().isFile() && file.open(QIODevice::ReadOnly);
            result.append(path + QLatin1Char('=') + QString::fromUtf8(readable ? file.readAll().toHex() : QByteArray()));
        }
        result.sort();
        return result;
    }

private:
    static void write(const QString& path, const QByteArray& text)
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(text);
    }

    QTemporaryDir directory_;
};

ToolRun run_battery(const QProcessEnvironment& environment, const QStringList& arguments)
{
    return run_tool(QStringLiteral(VANTREL_BATTERY_BINARY), arguments, environment);
}

} // namespace

class BatteryCliTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void prints_modes_data();
    void prints_modes();
    void refuses_command_lines_data();
    void refuses_command_lines();
    void survives_malformed_files_data();
    void survives_malformed_files();
    void reads_the_default_modem_file();
    void reports_write_errors_data();
    void reports_write_errors();
};

void BatteryCliTest::prints_modes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("modem");
    QTest::addColumn<bool>("battery");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("status");
    const QByteArray off;
    const QByteArray online = "{\"selected\":true,\"policy\":\"auto\",\"state\":\"online\"}";
    const QByteArray idle = "{\"selected\":true,\"policy\":\"auto\",\"state\":\"off\"}";

    QTest::newRow("report") << QStringList() << off << true
                            << QByteArray("Battery: 57%\nStatus: Discharging\nModem off\n") << 0;
    QTest::newRow("report, modem online") << QStringList() << online << true
                                          << QByteArray("Battery: 57%\nStatus: Discharging\nModem connected\n") << 0;
    QTest::newRow("--percentage") << words("--percentage") << online << true << QByteArray("57%\n") << 0;
    QTest::newRow("--short") << words("--short") << online << true << QByteArray("57%\n") << 0;
    QTest::newRow("--prompt") << words("--prompt") << online << true << QByteArray("57% \xc2\xb7 Modem connected\n")
                              << 0;
    QTest::newRow("--prompt, modem idle") << words("--prompt") << idle << true
                                          << QByteArray("57% \xc2\xb7 Modem auto \xc2\xb7 idle\n") << 0;
    QTest::newRow("report without battery") << QStringList() << off << false
                                            << QByteArray("Battery information is unavailable.\nModem off\n") << 1;
    QTest::newRow("short without battery") << words("--percentage") << off << false << QByteArray("--\n") << 0;
    QTest::newRow("prompt without battery") << words("--prompt") << off << false
                                            << QByteArray("-- \xc2\xb7 Modem off\n") << 0;
    // A whole tablet for a status bar: the modem online and sharing, a text
    // from the service holding ESC and U+0085, the radio with peers.
    QTest::newRow("--json") << words("--json")
        << QByteArray("{\"selected\":true,\"policy\":\"auto\",\"state\":\"online\",\"sharing\":true,\"connections\":2,"
                      "\"message\":\"a\\u001b[2J\xc2\x85z\"}")
        << true
        << QByteArray("{\"battery\":{\"percent\":57,\"status\":\"Discharging\"},\"class\":\"discharging\",\"modem\":"
                      "{\"call_number\":\"#777\",\"connected_seconds\":0,\"connections\":2,\"idle_remaining\":-1,"
                      "\"idle_seconds\":0,\"message\":\"a\\u001b[2J\\u0085z\",\"number\":\"#777\",\"policy\":\"auto\","
                      "\"proxy_port\":1081,\"selected\":true,\"sharing\":true,\"sharing_active\":true,"
                      "\"sharing_message\":\"\",\"state\":\"online\",\"summary\":\"Modem connected\",\"wifi_ip\":\"10.0.0.2\"},"
                      "\"percentage\":57,\"radio\":{\"gateway\":\"42\",\"gid\":\"815\",\"ipv4\":\"10.9.0.1\","
                      "\"ipv6\":\"\",\"message\":\"\",\"name\":\"Base\",\"peers\":\"p1  fe80::1\\ngotenna-0000000000ff.mesh.local  \","
                      "\"state\":\"up\"},\"text\":\"57% \xc2\xb7 Modem connected\",\"tooltip\":\"Battery: 57%\\nStatus: "
                      "Discharging\\nModem connected\"}\n")
        << 0;
    // On mains, with neither modem nor radio: the records' defaults, and no error for a status bar.
    const auto bare = [](const QByteArray& message) {
        return "{\"battery\":{\"percent\":-1,\"status\":\"\"},\"class\":\"unknown\",\"modem\":"
               "{\"call_number\":\"#777\",\"connected_seconds\":0,\"connections\":0,\"idle_remaining\":-1,"
               "\"idle_seconds\":0,\"message\":\"" + message + "\",\"number\":\"#777\",\"policy\":\"off\",\"proxy_port\":1080,"
               "\"selected\":false,\"sharing\":false,\"sharing_active\":false,\"sharing_message\":\"\",\"state\":\"off\","
               "\"summary\":\"Modem off\",\"wifi_ip\":\"\"},\"radio\":{\"gateway\":\"No Internet gateway discovered\","
               "\"gid\":\"assigned on first connection\",\"ipv4\":\"\",\"ipv6\":\"\",\"message\":\"\",\"name\":\"\","
               "\"peers\":\"\",\"state\":\"off\"},\"text\":\"-- \xc2\xb7 Modem off\",\"tooltip\":\"Battery information is "
               "unavailable.\\nModem off\"}\n";
    };
    QTest::newRow("--json without battery, modem or radio") << words("--json") << off << false << bare("") << 0;
    // Escaped as the controls a terminal acts on, from DEL to the last C1; a letter of two bytes is no control.
    QTest::newRow("--json, DEL") << words("--json") << QByteArray("{\"message\":\"a\\u007fz\"}") << false
                                 << bare("a\\u007fz") << 0;
    QTest::newRow("--json, the last C1 control") << words("--json") << QByteArray("{\"message\":\"a\xc2\x9fz\"}") << false
                                                 << bare("a\\u009fz") << 0;
    QTest::newRow("--json, a letter after C1") << words("--json") << QByteArray("{\"message\":\"a\xc3\x80z\"}") << false
                                               << bare("a\xc3\x80z") << 0;
}

void BatteryCliTest::prints_modes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, modem);
    QFETCH(bool, battery);
    Tablet tablet;
    tablet.set_modem(modem);
    if (battery)
        tablet.set_radio("{\"state\":\"up\",\"ipv4\":\"10.9.0.1\",\"gateway\":42,\"peers\":[{\"dnsName\":\"p1\","
                         "\"ipv6\":\"fe80::1\"},{\"gid\":255}]}",
                         "{\"nodeName\":\"Base\",\"gid\":815}",
                         "{\"sharing_active\":true,\"wifi_ip\":\"10.0.0.2\",\"proxy_port\":1081}");
    QProcessEnvironment environment = tablet.environment();
    if (!battery)
        environment.insert(QStringLiteral("VANTREL_BATTERY_ROOT"), tablet.root() + QStringLiteral("/missing"));
    const QStringList before = tablet.snapshot();
    const ToolRun run = run_battery(environment, arguments);
    QTEST(run.out, "out");
    QCOMPARE(run.err, QByteArray());
    QTEST(run.status, "status");
    QCOMPARE(tablet.snapshot(), before);
}

void BatteryCliTest::refuses_command_lines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("upper case") << words("--PROMPT");
    QTest::newRow("short form") << words("-p");
    QTest::newRow("with a value") << words("--percentage=1");
    QTest::newRow("empty argument") << QStringList{QString()};
    QTest::newRow("two valid options") << words("--percentage --prompt");
    QTest::newRow("option twice") << words("--prompt --prompt");
    QTest::newRow("--json and a second word") << words("--json --prompt");
    QTest::newRow("help") << words("--help");
    QTest::newRow("a word Qt would take") << words("-qmljsdebugger=x");
}

void BatteryCliTest::refuses_command_lines()
{
    QFETCH(QStringList, arguments);
    Tablet tablet;
    const ToolRun run = run_battery(tablet.environment(), arguments);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err, usage_text);
    QCOMPARE(run.err.size(), 47);
    QCOMPARE(run.status, 2);
}

void BatteryCliTest::survives_malformed_files_data()
{
    QTest::addColumn<QByteArray>("capacity");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("modem");
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QStringList>("variables"); // NAME=value; the value | stands for a FIFO
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("report"); // null: not compared
    const QStringList none;
    // An unusable BAT is passed over for BAT0, which sorts after it.
    QTest::newRow("binary capacity") << QByteArray("\xff\xfe\x00\x01", 4) << QByteArray() << QByteArray("{")
                                     << QByteArray("[") << none << QByteArray("57%\n") << QByteArray();
    QTest::newRow("huge capacity") << QByteArray(100000, '9') << QByteArray() << QByteArray(100000, '[')
                                   << QByteArray("null") << none << QByteArray("57%\n") << QByteArray();
    QTest::newRow("deep JSON") << QByteArray("12") << QByteArray() << QByteArray(5000, '[') + QByteArray(5000, ']')
                               << QByteArray("{\"number\":{\"a\":[1,{\"b\":null}]}}") << none << QByteArray("12%\n")
                               << QByteArray();
    QTest::newRow("settings under HOME") << QByteArray("90") << QByteArray()
                                         << QByteArray("{\"selected\":true,\"policy\":\"manual\",\"state\":\"x\"}")
                                         << QByteArray("{\"number\":\"#99\"}") << none << QByteArray("90%\n")
                                         << QByteArray("Battery: 90%\nModem disconnected\n");
    QTest::newRow("status with a NUL: written whole")
        << QByteArray("12") << QByteArray("Dis\0charging", 12) << QByteArray() << QByteArray() << none
        << QByteArray("12%\n") << QByteArray("Battery: 12%\nStatus: Dis\0charging\nModem off\n", 44);
    QTest::newRow("modem paths set but empty: not a word from Qt")
        << QByteArray("12") << QByteArray() << QByteArray() << QByteArray()
        << QStringList{QStringLiteral("VANTREL_MODEM_STATUS="), QStringLiteral("VANTREL_MODEM_SETTINGS="),
                       QStringLiteral("VANTREL_PROXY_STATUS=")}
        << QByteArray("12%\n") << QByteArray("Battery: 12%\nModem off\n");
    QTest::newRow("modem files a FIFO and without end: no wait")
        << QByteArray("12") << QByteArray() << QByteArray() << QByteArray()
        << QStringList{QStringLiteral("VANTREL_MODEM_STATUS=|"), QStringLiteral("VANTREL_MODEM_SETTINGS=/dev/zero"),
                       QStringLiteral("VANTREL_PROXY_STATUS=|")}
        << QByteArray("12%\n") << QByteArray("Battery: 12%\nModem off\n");
}

void BatteryCliTest::survives_malformed_files()
{
    QFETCH(QByteArray, capacity);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, modem);
    QFETCH(QByteArray, settings);
    QFETCH(QStringList, variables);
    QFETCH(QByteArray, report);
    Tablet tablet;
    tablet.add_supply("BAT", {{"type", "Battery"}, {"capacity", capacity.constData()}});
    if (!status.isNull())
        make_file(tablet.path(QStringLiteral("devices/BAT/status")), status);
    tablet.set_modem(modem);
    tablet.set_home_settings(settings);
    QProcessEnvironment environment = tablet.environment();
    QString fifo;
    for (const QString& variable : variables) {
        const QString name = variable.section(QLatin1Char('='), 0, 0);
        QString value = variable.section(QLatin1Char('='), 1);
        if (value == QLatin1String("|")) {
            value = fifo = tablet.path(name);
            make_file(value, "|");
        }
        environment.insert(name, value);
    }
    // A writer waits on the FIFO: only a reader that opens it would let it go.
    std::atomic<bool> released{false};
    std::thread writer([&fifo, &released] {
        if (fifo.isEmpty())
            return;
        const int descriptor = ::open(QFile::encodeName(fifo).constData(), O_WRONLY);
        released = true;
        ::close(descriptor);
    });
    const QStringList before = tablet.snapshot();
    const ToolRun percentage = run_battery(environment, words("--percentage"));
    QTEST(percentage.out, "out");
    QCOMPARE(percentage.err, QByteArray());
    QCOMPARE(percentage.status, 0);
    const ToolRun reported = run_battery(environment, QStringList());
    if (!report.isNull())
        QCOMPARE(reported.out, report);
    QCOMPARE(reported.err, QByteArray());
    QVERIFY(reported.status == 0 || reported.status == 1);
    QCOMPARE(tablet.snapshot(), before);
    const bool opened = released;
    if (!fifo.isEmpty())
        ::close(::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK));
    writer.join();
    QVERIFY(!opened);
}

// The built-in paths, with the variables unset: the kernel's power-supply
// class and where the modem service writes, owned by the test in a private
// mount namespace.
void BatteryCliTest::reads_the_default_modem_file()
{
    Tablet tablet;
    tablet.set_modem("{\"selected\":true,\"policy\":\"auto\",\"state\":\"online\"}");
    QProcessEnvironment environment = tablet.environment();
    environment.remove(QStringLiteral("VANTREL_MODEM_STATUS"));
    environment.remove(QStringLiteral("VANTREL_BATTERY_ROOT"));
    const QString setup = QStringLiteral("mount --bind '%1' /sys/class/power_supply; mount -t tmpfs none /run; "
                                         "mkdir /run/vt-usb; cp '%2' /run/vt-usb/modem-status.json")
                              .arg(tablet.root(), tablet.path(QStringLiteral("modem-status.json")));
    const ToolRun run = run_command(
        in_private_mounts(setup, tool_command(QStringLiteral(VANTREL_BATTERY_BINARY), words("--prompt"))), environment);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, QByteArray("57% \xc2\xb7 Modem connected\n"));
}

void BatteryCliTest::reports_write_errors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("shell"); // runs the tool as "$@"
    QTest::addColumn<QByteArray>("err");
    const QString full = QStringLiteral("exec \"$@\" >/dev/full");
    const QByteArray no_space = "vantrel-battery: Could not write output: No space left on device\n";
    QTest::newRow("report") << QStringList() << full << no_space;
    QTest::newRow("--percentage") << words("--percentage") << full << no_space;
    QTest::newRow("--prompt") << words("--prompt") << full << no_space;
    QTest::newRow("--version") << words("--version") << full << no_space;
    QTest::newRow("--json") << words("--json") << full << no_space;
    QTest::newRow("--prompt, standard output closed")
        << words("--prompt") << QStringLiteral("exec \"$@\" >&-")
        << QByteArray("vantrel-battery: Could not write output: Bad file descriptor\n");
}

void BatteryCliTest::reports_write_errors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, shell);
    Tablet tablet;
    const QStringList redirected = {QStringLiteral("/bin/sh"), QStringLiteral("-c"), shell, QStringLiteral("sh")};
    const ToolRun run = run_command(redirected + tool_command(QStringLiteral(VANTREL_BATTERY_BINARY), arguments),
                                    tablet.environment());
    QTEST(run.err, "err");
    QCOMPARE(run.status, 1);
}

QTEST_GUILESS_MAIN(BatteryCliTest)
#include "battery_cli_test.moc"
