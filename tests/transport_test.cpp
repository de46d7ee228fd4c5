#include "support/fake_daemon.h"
#include "support/tool_run.h"

#include "vtl/wifi.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <stdexcept>

using vtl::wifi::Client;

namespace {

// The reply, or "failure: " and the message.
QByteArray outcome(const Client& client, const QByteArray& request)
{
    try {
        return client.command(request, 3000);
    } catch (const std::runtime_error& error) {
        return QByteArray("failure: ") + error.what();
    }
}

QString failure_of(const Client& client, const QByteArray& request, int timeout_ms = 3000)
{
    try {
        client.command(request, timeout_ms);
    } catch (const std::runtime_error& error) {
        return QString::fromUtf8(error.what());
    }
    return QString();
}

QByteArray own_socket(unsigned serial)
{
    return "/tmp/vantrel-wpa-" + QByteArray::number(QCoreApplication::applicationPid()) + '-'
        + QByteArray::number(serial);
}

} // namespace

class TransportTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Runs first: the exchange counter starts at zero in a new process.
    void names_each_exchange();
    void strips_line_ends_data();
    void strips_line_ends();
    void refuses_invalid_requests_data();
    void refuses_invalid_requests();
    void limits_path_length_data();
    void limits_path_length();
    void reports_missing_daemon();
    void times_out_on_silence();
    void takes_path_from_environment_data();
    void takes_path_from_environment();
    void leaves_no_file_behind();
};

void TransportTest::names_each_exchange()
{
    FakeDaemon daemon;
    daemon.reply("PING", "PONG\n");
    const Client client(daemon.path());
    QCOMPARE(client.command("PING", 3000), QByteArray("PONG"));
    QCOMPARE(failure_of(client, "PING\n"), QStringLiteral("Invalid wpa_supplicant control command."));
    // A killed process of the same pid may have left the next name behind.
    QFile leftover(QString::fromUtf8(own_socket(1)));
    QVERIFY(leftover.open(QIODevice::WriteOnly));
    leftover.close();
    QCOMPARE(client.command("PING", 3000), QByteArray("PONG"));
    // The refused request took no number: the second exchange is -1.
    QCOMPARE(daemon.senders(), (QList<QByteArray>{own_socket(0), own_socket(1)}));
    QCOMPARE(daemon.sender_modes(), (QList<unsigned>{0600, 0600}));
}

void TransportTest::strips_line_ends_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("LF") << QByteArray("OK\n") << QByteArray("OK");
    QTest::newRow("CR LF LF") << QByteArray("OK\r\n\n") << QByteArray("OK");
    QTest::newRow("bare") << QByteArray("OK") << QByteArray("OK");
    QTest::newRow("blanks stay") << QByteArray(" OK \n") << QByteArray(" OK ");
    QTest::newRow("inner lines stay") << QByteArray("a=1\r\nb=2\n") << QByteArray("a=1\r\nb=2");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("only line ends") << QByteArray("\r\n\r\n") << QByteArray();
    QTest::newRow("NUL inside") << QByteArray("a\0b\n", 4) << QByteArray("a\0b", 3);
    QTest::newRow("64 KiB") << QByteArray(65536, 'x') << QByteArray(65536, 'x');
    QTest::newRow("a byte more: refused, never cut") << QByteArray(65537, 'x')
                                                     << QByteArray("failure: Wi-Fi response was too long.");
}

void TransportTest::strips_line_ends()
{
    QFETCH(QByteArray, datagram);
    FakeDaemon daemon;
    daemon.reply("STATUS", datagram);
    QTEST(outcome(Client(daemon.path()), "STATUS"), "reply");
}

void TransportTest::refuses_invalid_requests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("ends in LF") << QByteArray("STATUS\n");
    QTest::newRow("CR inside") << QByteArray("STA\rTUS");
    QTest::newRow("NUL inside") << QByteArray("STA\0TUS", 7);
}

void TransportTest::refuses_invalid_requests()
{
    QFETCH(QByteArray, request);
    FakeDaemon daemon;
    QCOMPARE(failure_of(Client(daemon.path()), request), QStringLiteral("Invalid wpa_supplicant control command."));
    QVERIFY(daemon.requests().isEmpty());
}

void TransportTest::limits_path_length_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("message");
    const QString missing = QStringLiteral("Could not connect to wpa_supplicant: No such file or directory");
    const QString too_long = QStringLiteral("Wi-Fi control socket path is too long.");
    const QString base = QStringLiteral("/tmp/vantrel-missing-");
    QTest::newRow("107 bytes") << base + QString(107 - base.size(), QLatin1Char('x')) << missing;
    QTest::newRow("108 bytes") << base + QString(108 - base.size(), QLatin1Char('x')) << too_long;
    // 54 two-byte letters: 54 characters, but 108 bytes with the prefix.
    QTest::newRow("bytes, not characters")
        << base + QString(23, QChar(0xe9)) + QString(108 - base.size() - 46, QLatin1Char('x')) << too_long;
}

void TransportTest::limits_path_length()
{
    QFETCH(QString, path);
    QTEST(failure_of(Client(path), "STATUS"), "message");
}

void TransportTest::reports_missing_daemon()
{
    QCOMPARE(failure_of(Client(QStringLiteral("/tmp/vantrel-no-daemon-here")), "STATUS"),
             QStringLiteral("Could not connect to wpa_supplicant: No such file or directory"));
}

void TransportTest::times_out_on_silence()
{
    FakeDaemon daemon;
    daemon.silence("STATUS");
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(failure_of(Client(daemon.path()), "STATUS"), QStringLiteral("Timed out waiting for wpa_supplicant."));
    QVERIFY2(timer.elapsed() >= 3000 && timer.elapsed() < hang_limit_ms(3000), qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(daemon.requests(), (QList<QByteArray>{"STATUS"}));
}

void TransportTest::takes_path_from_environment_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("message");
    QTest::newRow("unset: the default")
        << false << QByteArray()
        << QStringLiteral("Could not connect to wpa_supplicant: No such file or directory");
    QTest::newRow("a path") << true << QByteArray("/tmp/vantrel-elsewhere")
                            << QStringLiteral("Could not connect to wpa_supplicant: No such file or directory");
    // Neither the default nor Linux's abstract name "", which anyone may bind.
    QTest::newRow("set but empty") << true << QByteArray() << QStringLiteral("VANTREL_WPA_SOCKET is set but empty.");
}

void TransportTest::takes_path_from_environment()
{
    QFETCH(bool, set);
    QFETCH(QByteArray, value);
    if (set)
        qputenv("VANTREL_WPA_SOCKET", value);
    else
        qunsetenv("VANTREL_WPA_SOCKET");
    const QString failure = failure_of(Client(QString()), "STATUS");
    qunsetenv("VANTREL_WPA_SOCKET");
    if (!set && QFile::exists(QStringLiteral("/run/wpa_supplicant/wlan0")))
        QSKIP("this machine runs a daemon on wlan0");
    QTEST(failure, "message");
}

void TransportTest::leaves_no_file_behind()
{
    FakeDaemon daemon;
    daemon.reply("PING", "PONG");
    daemon.silence("STATUS");
    const Client client(daemon.path());
    client.command("PING", 3000);
    failure_of(client, "STATUS", 100);
    failure_of(Client(QStringLiteral("/tmp/vantrel-no-daemon-here")), "PING");
    QCOMPARE(leftover_sockets(QCoreApplication::applicationPid()), QStringList());
}

QTEST_GUILESS_MAIN(TransportTest)
#include "transport_test.moc"
