#include "support/real_daemon.h"
#include "support/tool_run.h"

#include <QTest>

class RealDaemonTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void shows_status_data();
    void shows_status();
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

QTEST_GUILESS_MAIN(RealDaemonTest)
#include "real_daemon_test.moc"
