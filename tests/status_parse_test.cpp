#include "vtl/wifi.h"

#include <QTest>

using vtl::wifi::Client;
using vtl::wifi::Status;

class StatusParseTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parses_data();
    void parses();
};

void StatusParseTest::parses_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("ssid");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("saved_id");

    QTest::newRow("empty") << QByteArray() << "" << "" << "" << -1;
    QTest::newRow("FAIL") << QByteArray("FAIL") << "" << "" << "" << -1;
    QTest::newRow("connected")
        << QByteArray("bssid=02:00:00:00:01:00\nfreq=2412\nssid=Home\nid=3\nmode=station\n"
                      "pairwise_cipher=CCMP\nkey_mgmt=WPA2-PSK\nwpa_state=COMPLETED\nip_address=192.168.1.20\n"
                      "address=02:00:00:00:00:00\nuuid=6b3ea1a0")
        << "COMPLETED" << "Home" << "192.168.1.20" << 3;
    QTest::newRow("daemon here, nothing selected")
        << QByteArray("wpa_state=DISCONNECTED\nip_address=127.0.0.1\naddress=00:00:00:00:00:00\nuuid=x")
        << "DISCONNECTED" << "" << "127.0.0.1" << -1;
    QTest::newRow("id letters") << QByteArray("id=abc") << "" << "" << "" << -1;
    QTest::newRow("id empty") << QByteArray("id=") << "" << "" << "" << -1;
    QTest::newRow("id then bad id") << QByteArray("id=3\nid=x") << "" << "" << "" << 3;
    QTest::newRow("id twice") << QByteArray("id=3\nid=5") << "" << "" << "" << 5;
    QTest::newRow("ssid holding =") << QByteArray("ssid=a=b=") << "" << "a=b=" << "" << -1;
    QTest::newRow("ssid empty") << QByteArray("ssid=Home\nssid=") << "" << "" << "" << -1;
    QTest::newRow("bssid is not ssid") << QByteArray("bssid=Home") << "" << "" << "" << -1;
    QTest::newRow("address is not ip_address") << QByteArray("address=1.2.3.4") << "" << "" << "" << -1;
    QTest::newRow("bare words") << QByteArray("wpa_state\nssid\nCOMPLETED") << "" << "" << "" << -1;
    QTest::newRow("later state wins") << QByteArray("wpa_state=SCANNING\nwpa_state=COMPLETED")
                                      << "COMPLETED" << "" << "" << -1;
    QTest::newRow("CR kept") << QByteArray("wpa_state=COMPLETED\r\nssid=Home\r") << "COMPLETED\r"
                             << "Home\r" << "" << -1;
    QTest::newRow("keys are case-sensitive") << QByteArray("SSID=Home\nWpa_state=COMPLETED") << ""
                                             << "" << "" << -1;
    QTest::newRow("blanks kept") << QByteArray("ssid= Home \nwpa_state=COMPLETED ") << "COMPLETED " << " Home " << "" << -1;
    // Qt's integer parsing skips surrounding blanks.
    QTest::newRow("id with blanks") << QByteArray("id= 4 ") << "" << "" << "" << 4;
    QTest::newRow("id in hex") << QByteArray("id=0x4") << "" << "" << "" << -1;
    QTest::newRow("empty key") << QByteArray("=x\nid=7") << "" << "" << "" << 7;
    QTest::newRow("UTF-8 value") << QByteArray("ssid=Caf\xc3\xa9") << "" << QString::fromUtf8("Caf\xc3\xa9")
                                 << "" << -1;
}

void StatusParseTest::parses()
{
    QFETCH(QByteArray, reply);
    const Status status = Client::parse_status(reply);
    QTEST(status.state, "state");
    QTEST(status.ssid, "ssid");
    QTEST(status.address, "address");
    QTEST(status.saved_id, "saved_id");
}

QTEST_GUILESS_MAIN(StatusParseTest)
#include "status_parse_test.moc"
