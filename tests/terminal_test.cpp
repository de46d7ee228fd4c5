#include "support/child_process.h"
#include "support/fake_daemon.h"
#include "support/terminal_run.h"
#include "support/tool_run.h"

#include <QFile>
#include <QTest>

#include <csignal>

namespace {

const QByteArray scan_results = "bssid / frequency / signal level / flags / ssid\n"
                                "aa:00:00:00:00:04\t2412\t-55\t[WPA2-PSK-CCMP][ESS]\tSecure\n";

// The signals among 1, 2, 3 and 15 that process `pid` catches, from /proc.
QList<int> caught_signals(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return {-1};
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (!line.startsWith("SigCgt:"))
            continue;
        const qulonglong mask = line.mid(7).trimmed().toULongLong(nullptr, 16);
        QList<int> result;
        for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
            if (mask & (1ULL << (signal - 1)))
                result.append(signal);
        }
        return result;
    }
    return {-1};
}

// Under user-mode emulation the emulator itself catches every signal.
bool native()
{
    return QByteArray(VANTREL_EMULATOR).isEmpty();
}

} // namespace

class TerminalTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void hides_the_password();
    void restores_echo_data();
    void restores_echo();
    void shows_progress_data();
    void shows_progress();
};

void TerminalTest::hides_the_password()
{
    FakeDaemon daemon;
    daemon.reply("SCAN", "OK\n");
    daemon.reply("SCAN_RESULTS", scan_results);
    daemon.reply("LIST_NETWORKS", "network id / ssid / bssid / flags\n");
    daemon.silence("ADD_NETWORK");
    TerminalRun run(tool_command(QStringLiteral(VANTREL_WIFI_BINARY), words("pick")),
                    wifi_environment(daemon.path(), {QStringLiteral("VANTREL_WIFI_SCAN_DELAY_MS=0")}));
    const QList<int> handled = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
    QVERIFY(run.wait_for("Network number: "));
    QVERIFY(run.echo());
    if (native())
        QCOMPARE(caught_signals(run.pid()), handled);
    run.type("1\n");
    QVERIFY(run.wait_for("Wi-Fi password: "));
    QVERIFY(run.wait_for_echo(false));
    if (native())
        QCOMPARE(caught_signals(run.pid()), handled);
    run.type("secret123\n");
    // ADD_NETWORK gets no answer: the password read is over, the exchange still waits.
    QVERIFY(run.wait_for_echo(true));
    QTest::qWait(300);
    if (native())
        QCOMPARE(caught_signals(run.pid()), handled);
    QCOMPARE(run.finish(), 1);
    QCOMPARE(run.screen(), QByteArray("Network number: 1\r\nWi-Fi password: \r\n"
                                      "vantrel-wifi: Timed out waiting for wpa_supplicant.\r\n"));
    QCOMPARE(run.output(), QByteArray("1.   Secure  [WPA personal, -55 dBm]\n"));
}

void TerminalTest::restores_echo_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("screen");
    const QByteArray prompts = "Network number: 1\r\nWi-Fi password: ";
    const QByteArray one = "1\n";
    QTest::newRow("SIGINT") << SIGINT << one << QByteArray("sec") << 130 << prompts;
    QTest::newRow("SIGTERM") << SIGTERM << one << QByteArray("sec") << 143 << prompts;
    QTest::newRow("SIGHUP") << SIGHUP << one << QByteArray() << 129 << prompts;
    QTest::newRow("SIGQUIT") << SIGQUIT << one << QByteArray() << 131 << prompts;
    QTest::newRow("end of input") << 0 << one << QByteArray("\x04") << 1
                                  << prompts + "\r\nvantrel-wifi: Could not read input.\r\n";
    QTest::newRow("SIGINT at the number prompt") << SIGINT << QByteArray() << QByteArray("2") << 130
                                                 << QByteArray("Network number: 2");
}

void TerminalTest::restores_echo()
{
    QFETCH(int, signal);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, keys);
    FakeDaemon daemon;
    daemon.reply("SCAN", "OK\n");
    daemon.reply("SCAN_RESULTS", scan_results);
    TerminalRun run(tool_command(QStringLiteral(VANTREL_WIFI_BINARY), words("pick")),
                    wifi_environment(daemon.path(), {QStringLiteral("VANTREL_WIFI_SCAN_DELAY_MS=0")}));
    QVERIFY(run.wait_for("Network number: "));
    if (!answer.isEmpty()) {
        run.type(answer);
        QVERIFY(run.wait_for("Wi-Fi password: "));
        QVERIFY(run.wait_for_echo(false));
    }
    run.type(keys);
    QTest::qWait(100);
    if (signal != 0)
        ::kill(run.pid(), signal);
    QTEST(run.finish(), "status");
    QVERIFY(run.echo());
    QTEST(run.screen(), "screen");
    QCOMPARE(daemon.requests(), (QList<QByteArray>{"ATTACH", "SCAN", "SCAN_RESULTS", "LIST_NETWORKS", "STATUS"}));
}

void TerminalTest::shows_progress_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("signal"); // sent once the progress line shows; negative: SIGTERM follows as undo waits
    QTest::addColumn<QByteArray>("screen");
    QTest::addColumn<int>("status");
    const QByteArray erase = "\r\033[K";
    const QByteArray connecting = erase + "Connecting to Office..." + erase;
    QTest::newRow("scan") << words("list") << 0 << erase + "Scanning..." + erase << 0;
    QTest::newRow("association, then an error") << words("connect Office") << 0
                                                 << connecting + "vantrel-wifi: Timed out connecting to Office.\r\n" << 1;
    QTest::newRow("association, then SIGINT") << words("connect Office") << SIGINT << connecting << 130;
    QTest::newRow("association, SIGINT, SIGTERM while undoing") << words("connect Office") << -SIGINT << connecting << 143;
}

// On a terminal a wait shows what it is for, and nothing of it stays.
void TerminalTest::shows_progress()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, signal);
    FakeDaemon daemon;
    daemon.reply("SCAN", "OK\n");
    daemon.reply("LIST_NETWORKS", "network id / ssid / bssid / flags\n0\tOffice\tany\t\n1\tHome\tany\t\n");
    daemon.reply("SELECT_NETWORK 0", "OK\n");
    const QByteArray undo = "ENABLE_NETWORK 1 no-connect";
    if (signal < 0)
        daemon.silence(undo);
    daemon.reply("STATUS", "wpa_state=SCANNING\n");
    TerminalRun run(tool_command(QStringLiteral(VANTREL_WIFI_BINARY), arguments),
                    wifi_environment(daemon.path(), {QStringLiteral("VANTREL_WIFI_SCAN_DELAY_MS=300"),
                                                     QStringLiteral("VANTREL_WIFI_CONNECT_TIMEOUT_MS=1000")}));
    QVERIFY(run.wait_for("..."));
    if (signal != 0)
        ::kill(run.pid(), std::abs(signal));
    if (signal < 0) {
        QTRY_VERIFY_WITH_TIMEOUT(daemon.requests().contains(undo), hang_limit_ms(0));
        ::kill(run.pid(), SIGTERM);
    }
    QTEST(run.finish(), "status");
    QTEST(run.screen(), "screen");
}

QTEST_GUILESS_MAIN(TerminalTest)
#include "terminal_test.moc"
