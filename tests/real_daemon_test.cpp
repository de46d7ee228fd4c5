#include "support/real_daemon.h"
#include "support/tool_run.h"

#include "vtl/wifi.h"

#include <QTest>

#include <functional>
#include <stdexcept>

using vtl::wifi::Client;
using vtl::wifi::Security;

namespace {

const QByteArray saved_profiles = "network={\n\tssid=\"Home\"\n\tkey_mgmt=NONE\n}\n"
                                  "network={\n\tssid=\"Office\"\n\tkey_mgmt=NONE\n}\n"
                                  "network={\n\tssid=\"Attic\"\n\tkey_mgmt=NONE\n\tdisabled=1\n}\n";

// The network blocks of a configuration file, each as its lines without
// indentation and without the mesh default that the daemon adds on saving.
QList<QByteArrayList> network_blocks(const QByteArray& config)
{
    QList<QByteArrayList> blocks;
    for (const QByteArray& part : config.split('{').mid(1)) {
        QByteArrayList lines;
        for (const QByteArray& line : part.left(part.indexOf('}')).split('\n')) {
            if (!line.trimmed().isEmpty() && !line.trimmed().startsWith("mesh_fwding="))
                lines.append(line.trimmed());
        }
        blocks.append(lines);
    }
    return blocks;
}

QString failure_of(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const std::runtime_error& error) {
        return QString::fromUtf8(error.what());
    }
    return QString();
}

} // namespace

class RealDaemonTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void shows_status_data();
    void shows_status();
    void adds_an_open_network();
    void saves_a_passphrase_unchanged();
    void removes_a_network_that_never_joins();
    void switches_without_writing();
    void cleanup();
};

void RealDaemonTest::shows_status_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("text") << QStringList{QStringLiteral("status")}
                          << QByteArray("State: DISCONNECTED\nNetwork: \nAddress: 127.0.0.1\n");
    QTest::newRow("json") << QStringList{QStringLiteral("status"), QStringLiteral("--json")}
                          << QByteArray("{\"address\":\"127.0.0.1\",\"saved_id\":-1,\"ssid\":\"\","
                                        "\"state\":\"DISCONNECTED\"}\n");
}

void RealDaemonTest::shows_status()
{
    QFETCH(QStringList, arguments);
    RealDaemon daemon;
    const QString problem = daemon.start();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const ToolRun run = run_wifi(wifi_environment(daemon.socket_path()), arguments);
    QTEST(run.out, "out");
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
    QCOMPARE(leftover_sockets(run.pid), QStringList());
}

void RealDaemonTest::cleanup()
{
    qunsetenv("VANTREL_WIFI_CONNECT_TIMEOUT_MS");
}

void RealDaemonTest::adds_an_open_network()
{
    RealDaemon daemon(saved_profiles);
    const QString problem = daemon.start();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const QList<QByteArrayList> before = network_blocks(daemon.config());
    const Client client(daemon.socket_path());
    const QString name = QString::fromUtf8("Caf\xc3\xa9");

    client.connect_new(name, Security::Open, QString(), 15000, client.networks(false).profile_ids);

    const vtl::wifi::Status status = client.status();
    QCOMPARE(status.state, QStringLiteral("COMPLETED"));
    QCOMPARE(status.ssid, name);
    const QList<QByteArrayList> after = network_blocks(daemon.config());
    QCOMPARE(after.mid(0, 3), before);
    QCOMPARE(after.size(), 4);
    QCOMPARE(after.at(3), (QByteArrayList{"ssid=436166c3a9", "key_mgmt=NONE"}));
    QVERIFY(!daemon.ask("LIST_NETWORKS").contains("Home\tany\t[DISABLED]"));
}

void RealDaemonTest::saves_a_passphrase_unchanged()
{
    RealDaemon daemon(saved_profiles);
    const QString problem = daemon.start();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    qputenv("VANTREL_WIFI_CONNECT_TIMEOUT_MS", "0");

    const Client client(daemon.socket_path());
    client.connect_new(QStringLiteral("Secure"), Security::Personal, QStringLiteral("ab\"cd\\ef gh\\"), 15000,
                       client.networks(false).profile_ids);

    const QList<QByteArrayList> after = network_blocks(daemon.config());
    QCOMPARE(after.size(), 4);
    QCOMPARE(after.at(3), (QByteArrayList{"ssid=\"Secure\"", "psk=\"ab\"cd\\ef gh\\\"", "key_mgmt=WPA-PSK"}));
    QCOMPARE(after.at(0), (QByteArrayList{"ssid=\"Home\"", "key_mgmt=NONE"}));
}

void RealDaemonTest::removes_a_network_that_never_joins()
{
    RealDaemon daemon(saved_profiles);
    const QString problem = daemon.start();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const QByteArray before = daemon.config();
    qputenv("VANTREL_WIFI_CONNECT_TIMEOUT_MS", "1000");
    const Client client(daemon.socket_path());

    const QString failure = failure_of(
        [&client] {
            client.connect_new(QStringLiteral("Secure"), Security::Personal, QStringLiteral("12345678"), 15000,
                               client.networks(false).profile_ids);
        });

    QCOMPARE(failure, QStringLiteral("Timed out connecting to Secure."));
    QVERIFY(!daemon.ask("LIST_NETWORKS").contains("Secure"));
    QCOMPARE(daemon.config(), before);
    // The profiles that were enabled before are enabled again in the running daemon.
    const QByteArray profiles = daemon.ask("LIST_NETWORKS");
    QVERIFY2(!profiles.contains("Home\tany\t[DISABLED]") && !profiles.contains("Office\tany\t[DISABLED]"),
             profiles.constData());
    QVERIFY(profiles.contains("Attic\tany\t[DISABLED]"));
}

void RealDaemonTest::switches_without_writing()
{
    RealDaemon daemon(saved_profiles);
    const QString problem = daemon.start();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(daemon.ask("SELECT_NETWORK 0"), QByteArray("OK"));
    const QByteArray before = daemon.config();

    const ToolRun run = run_wifi(wifi_environment(daemon.socket_path()), words("connect Office"));

    QCOMPARE(run.out, QByteArray("Connected to Office.\n"));
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
    QCOMPARE(daemon.config(), before);
    const QByteArray profiles = daemon.ask("LIST_NETWORKS");
    QVERIFY2(profiles.contains("0\tHome\tany\t\n") && profiles.contains("1\tOffice\tany\t[CURRENT]"),
             profiles.constData());
    // What a later save would write keeps Home enabled.
    QCOMPARE(daemon.ask("SAVE_CONFIG"), QByteArray("OK"));
    QCOMPARE(network_blocks(daemon.config()), network_blocks(saved_profiles));
}

QTEST_GUILESS_MAIN(RealDaemonTest)
#include "real_daemon_test.moc"
