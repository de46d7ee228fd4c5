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
    void hides_the_password_data();
    void hides_the_password();
    void restores_echo_data();
    void restores_echo();
    void shows_progress_data();
    void shows_progress();
    void asks_to_trust_data();
    void asks_to_trust();
};

// A password typed at the terminal is asked for and never echoed, by pick
// and by connect --password-stdin alike.
void TerminalTest::hides_the_password_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("number"); // the answer to "Network number: ", when asked
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("pick") << words("pick") << QByteArray("1") << QByteArray("1.   Secure  [WPA personal, -55 dBm]\n");
    QTest::newRow("connect --password-stdin") << words("connect --password-stdin Secure") << QByteArray() << QByteArray();
}

void TerminalTest::hides_the_password()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, number);
    FakeDaemon daemon;
    daemon.reply("SCAN", "OK\n");
    daemon.reply("SCAN_RESULTS", scan_results);
    daemon.reply("LIST_NETWORKS", "network id / ssid / bssid / flags\n");
    daemon.silence("ADD_NETWORK");
    TerminalRun run(tool_command(QStringLiteral(VANTREL_WIFI_BINARY), arguments),
                    wifi_environment(daemon.path(), {QStringLiteral("VANTREL_WIFI_SCAN_DELAY_MS=0")}));
    const QList<int> handled = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
    if (!number.isEmpty()) {
        QVERIFY(run.wait_for("Network number: "));
        QVERIFY(run.echo());
        if (native())
            QCOMPARE(caught_signals(run.pid()), handled);
        run.type(number + '\n');
    }
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
    QCOMPARE(run.screen(), (number.isEmpty() ? QByteArray() : "Network number: " + number + "\r\n")
                               + "Wi-Fi password: \r\nvantrel-wifi: Timed out waiting for wpa_supplicant.\r\n");
    QTEST(run.output(), "output");
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

// Only a server whose chain ends at a CA the check does not know may be
// trusted, and only by a person who answers at a terminal: Enter is no.
void TerminalTest::asks_to_trust_data()
{
    QTest::addColumn<QByteArray>("error"); // the daemon's verdict on the server
    QTest::addColumn<bool>("piped");        // standard input a pipe, standard error still the terminal
    QTest::addColumn<bool>("asked");
    const QByteArray unknown_ca = "reason=1 depth=1 subject='/CN=Root' err='self-signed certificate in certificate chain'";
    QTest::newRow("an unknown CA; Enter is no") << unknown_ca << false << true;
    QTest::newRow("another name: never asked") << QByteArray("reason=9 depth=0 subject='/CN=x' err='Domain suffix mismatch'")
                                               << false << false;
    QTest::newRow("standard input a pipe: never asked") << unknown_ca << true << false;
}

void TerminalTest::asks_to_trust()
{
    QFETCH(QByteArray, error);
    QFETCH(bool, piped);
    QFETCH(bool, asked);
    FakeDaemon daemon;
    daemon.reply("SCAN", "OK\n");
    daemon.reply("SCAN_RESULTS", "bssid\naa:08\t2412\t-50\t[WPA2-EAP-CCMP][ESS]\tCampus\n");
    daemon.keep_profiles("network id / ssid / bssid / flags\n");
    daemon.reply("STATUS", "wpa_state=ASSOCIATED\n");
    daemon.reply("ATTACH", "OK\n");
    daemon.announce("ATTACH", {{0, "<3>CTRL-EVENT-EAP-PEER-CERT depth=1 subject='/CN=Root' hash=ab12"},
                               {0, "<3>CTRL-EVENT-EAP-PEER-CERT depth=0 subject='/CN=x' hash=cd34"},
                               {0, "<3>CTRL-EVENT-EAP-TLS-CERT-ERROR " + error}});
    const QStringList pick = tool_command(QStringLiteral(VANTREL_WIFI_BINARY), words("pick"));
    const QString answers = QStringLiteral("1\nalice\nexample.org\npw\n");
    TerminalRun run(piped ? QStringList{QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                        QStringLiteral("printf '%1' | exec \"$@\"").arg(answers), QStringLiteral("sh")}
                                + pick
                          : pick,
                    wifi_environment(daemon.path(), {QStringLiteral("VANTREL_WIFI_SCAN_DELAY_MS=0"),
                                                     QStringLiteral("VANTREL_CA_BUNDLE=" VANTREL_SOURCE_DIR "/tests/data/ca.pem")}));
    const char* const prompts[] = {"Network number: ", "Identity: ", "Server domain: ", "Wi-Fi password: "};
    for (int at = 0; !piped && at < 4; ++at) {
        QVERIFY2(run.wait_for(prompts[at]), run.screen().constData());
        // What is typed before the echo goes off is thrown away.
        QVERIFY(at < 3 || run.wait_for_echo(false));
        run.type(answers.section(QLatin1Char('\n'), at, at).toUtf8() + '\n');
    }
    if (asked) {
        QVERIFY2(run.wait_for("Trust this server? [y/N] "), run.screen().constData());
        run.type("\n");
    }
    QCOMPARE(run.finish(), 1);
    QCOMPARE(run.screen().contains("Trust this server?"), asked);
    QVERIFY2(run.screen().contains("vantrel-wifi: Could not verify the network's server: "), run.screen().constData());
    QCOMPARE(changing(daemon.requests()).count("ADD_NETWORK"), 1);
}

QTEST_GUILESS_MAIN(TerminalTest)
#include "terminal_test.moc"
