#include "support/tool_run.h"

#include "vtl/wifi.h"

#include <QElapsedTimer>
#include <QTest>

using vtl::wifi::Client;
using vtl::wifi::Network;
using vtl::wifi::Credentials;
using vtl::wifi::Status;

namespace {

const QByteArray scan_header = "bssid / frequency / signal level / flags / ssid\n";
const QByteArray saved_header = "network id / ssid / bssid / flags\n";

// One entry as "ssid|bssid|flags|frequency|signal|saved_id|current|security".
QString describe(const Network& item)
{
    return QStringList{item.ssid, item.bssid, item.flags, QString::number(item.frequency),
                       QString::number(item.signal), QString::number(item.saved_id),
                       item.current ? QStringLiteral("current") : QStringLiteral("-"),
                       Client::security_name(item.credentials)}
        .join(QLatin1Char('|'));
}

QStringList describe(const std::vector<Network>& items)
{
    QStringList result;
    for (const Network& item : items)
        result.append(describe(item));
    return result;
}

Status status_of(const char* state, const char* ssid, int saved_id)
{
    Status status;
    status.state = QString::fromUtf8(state);
    status.ssid_bytes = ssid;
    status.ssid = QString::fromUtf8(ssid);
    status.saved_id = saved_id;
    return status;
}

} // namespace

class NetworkParseTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void merges_data();
    void merges();
    void classifies_data();
    void classifies();
    void decodes_names_data();
    void decodes_names();
    void renders_for_terminal_data();
    void renders_for_terminal();
    void merges_the_largest_reply_quickly();
};

void NetworkParseTest::merges_data()
{
    QTest::addColumn<QByteArray>("scan");
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<Status>("status");
    QTest::addColumn<QStringList>("expected");
    const Status none;

    QTest::newRow("empty") << QByteArray() << QByteArray() << none << QStringList();
    QTest::newRow("headers only") << scan_header << saved_header << none << QStringList();
    QTest::newRow("strongest of a name, its values")
        << scan_header + "aa:01\t2412\t-60\t[WPA2-PSK-CCMP][ESS]\tHome\naa:02\t5180\t-50\t[ESS]\tHome\n"
        << QByteArray() << none << QStringList{QStringLiteral("Home|aa:02|[ESS]|5180|-50|-1|-|open")};
    QTest::newRow("equal levels: the first stays")
        << scan_header + "aa:01\t2412\t-50\t[ESS]\tHome\naa:02\t5180\t-50\t[WEP]\tHome\n" << QByteArray() << none
        << QStringList{QStringLiteral("Home|aa:01|[ESS]|2412|-50|-1|-|open")};
    QTest::newRow("malformed lines skipped")
        << scan_header
            + "aa:01\t2412\t-50\t[ESS]\t\naa:02\tabc\t-50\t[ESS]\tNoFreq\naa:03\t2412\t\t[ESS]\tNoLevel\n"
              "aa:04\t2412\t-40\t[ESS]\nbssid\t1\t1\t\tHeaderLike\naa:05\t2412\t-70\t[ESS]\tGood\n"
        << QByteArray() << none << QStringList{QStringLiteral("Good|aa:05|[ESS]|2412|-70|-1|-|open")};
    QTest::newRow("unsaved by falling signal")
        << scan_header + "aa:01\t2412\t-80\t[ESS]\tFar\naa:02\t2412\t-40\t[ESS]\tNear\naa:03\t2412\t-60\t[ESS]\tMid\n"
        << QByteArray() << none
        << QStringList{QStringLiteral("Near|aa:02|[ESS]|2412|-40|-1|-|open"),
                       QStringLiteral("Mid|aa:03|[ESS]|2412|-60|-1|-|open"),
                       QStringLiteral("Far|aa:01|[ESS]|2412|-80|-1|-|open")};
    QTest::newRow("current, saved in range, saved out of range, unsaved")
        << scan_header
            + "aa:01\t2412\t-30\t[ESS]\tStranger\naa:02\t2437\t-70\t[WPA2-PSK-CCMP]\tOffice\n"
              "aa:03\t2462\t-45\t[WPA2-PSK-CCMP]\tHome\naa:04\t2412\t-60\t[WPA2-PSK-CCMP]\tCafe\n"
        << saved_header + "0\tHome\tany\t[CURRENT]\n1\tOffice\tany\t\n2\tAttic\tany\t[DISABLED]\n3\tCafe\tany\t\n"
        << status_of("COMPLETED", "Home", 0)
        << QStringList{QStringLiteral("Home|aa:03|[WPA2-PSK-CCMP]|2462|-45|0|current|WPA personal"),
                       QStringLiteral("Cafe|aa:04|[WPA2-PSK-CCMP]|2412|-60|3|-|WPA personal"),
                       QStringLiteral("Office|aa:02|[WPA2-PSK-CCMP]|2437|-70|1|-|WPA personal"),
                       QStringLiteral("Attic|||0|-100|2|-|unsupported"),
                       QStringLiteral("Stranger|aa:01|[ESS]|2412|-30|-1|-|open")};
    QTest::newRow("saved only")
        << QByteArray() << saved_header + "0\tHome\tany\t\n1\tOffice\tany\t\n" << none
        << QStringList{QStringLiteral("Home|||0|-100|0|-|unsupported"),
                       QStringLiteral("Office|||0|-100|1|-|unsupported")};
    QTest::newRow("two profiles, one name: the later id")
        << QByteArray() << saved_header + "0\tHome\tany\t\n4\tHome\tany\t\n" << none
        << QStringList{QStringLiteral("Home|||0|-100|4|-|unsupported")};
    QTest::newRow("saved lines without id or name skipped")
        << QByteArray() << saved_header + "x\tHome\tany\t\n5\t\tany\t\n\t\n7\tGood\n" << none
        << QStringList{QStringLiteral("Good|||0|-100|7|-|unsupported")};
    QTest::newRow("current by id, whatever the state")
        << QByteArray() << saved_header + "0\tHome\n1\tOffice\n" << status_of("SCANNING", "", 1)
        << QStringList{QStringLiteral("Office|||0|-100|1|current|unsupported"),
                       QStringLiteral("Home|||0|-100|0|-|unsupported")};
    QTest::newRow("current by name only when COMPLETED")
        << QByteArray() << saved_header + "0\tHome\n1\tOffice\n" << status_of("COMPLETED", "Office", -1)
        << QStringList{QStringLiteral("Office|||0|-100|1|current|unsupported"),
                       QStringLiteral("Home|||0|-100|0|-|unsupported")};
    QTest::newRow("name match, state not COMPLETED")
        << QByteArray() << saved_header + "0\tHome\n" << status_of("completed", "Home", -1)
        << QStringList{QStringLiteral("Home|||0|-100|0|-|unsupported")};
    QTest::newRow("letter case makes another network")
        << scan_header + "aa:01\t2412\t-50\t[ESS]\thome\n" << saved_header + "0\tHome\n" << none
        << QStringList{QStringLiteral("Home|||0|-100|0|-|unsupported"),
                       QStringLiteral("home|aa:01|[ESS]|2412|-50|-1|-|open")};
    QTest::newRow("stronger duplicate keeps the saved mark")
        << scan_header + "aa:01\t2412\t-70\t[ESS]\tHome\n" + "aa:02\t2412\t-40\t[ESS]\tHome\n"
        << saved_header + "3\tHome\n" << status_of("COMPLETED", "Home", 3)
        << QStringList{QStringLiteral("Home|aa:02|[ESS]|2412|-40|3|current|open")};
    QTest::newRow("CR stays in the last column")
        << scan_header + "aa:01\t2412\t-50\t[ESS]\tHome\r\n" << QByteArray() << none
        << QStringList{QStringLiteral("Home\r|aa:01|[ESS]|2412|-50|-1|-|open")};
    QTest::newRow("a byte and its escaped look-alike are two networks")
        << scan_header + "aa:01\t2412\t-50\t[ESS]\t\\xff\naa:02\t2412\t-60\t[ESS]\t\\\\xff\n"
        << saved_header + "0\t\\\\xff\tany\t\n1\t\\xff\tany\t\n" << status_of("COMPLETED", "\xff", -1)
        << QStringList{QStringLiteral("\\xff|aa:01|[ESS]|2412|-50|1|current|open"),
                       QStringLiteral("\\xff|aa:02|[ESS]|2412|-60|0|-|open")};
    QTest::newRow("a name of NUL bytes hides the network")
        << scan_header + "aa:01\t2412\t-50\t[ESS]\t\\x00\\x00\\x00\n" << QByteArray() << none << QStringList();
    QTest::newRow("escaped names meet their profile")
        << scan_header + "aa:01\t2412\t-50\t[WPA2-PSK-CCMP]\tCaf\\xc3\\xa9\n"
        << saved_header + "2\tCaf\\xc3\\xa9\tany\t[CURRENT]\n" << status_of("COMPLETED", "Caf\xc3\xa9", 2)
        << QStringList{QString::fromUtf8("Caf\xc3\xa9|aa:01|[WPA2-PSK-CCMP]|2412|-50|2|current|WPA personal")};
}

void NetworkParseTest::merges()
{
    QFETCH(QByteArray, scan);
    QFETCH(QByteArray, saved);
    QFETCH(Status, status);
    QTEST(describe(Client::parse_networks(scan, saved, status)), "expected");
}

void NetworkParseTest::classifies_data()
{
    QTest::addColumn<QByteArray>("flags");
    QTest::addColumn<QString>("security");
    QTest::addColumn<bool>("sae_only");
    QTest::newRow("empty") << QByteArray() << "open" << false;
    QTest::newRow("ESS") << QByteArray("[ESS]") << "open" << false;
    QTest::newRow("WPA2-PSK") << QByteArray("[WPA2-PSK-CCMP][ESS]") << "WPA personal" << false;
    QTest::newRow("psk lower case") << QByteArray("[wpa2-psk-ccmp]") << "WPA personal" << false;
    QTest::newRow("PSK and SAE") << QByteArray("[WPA2-PSK+SAE-CCMP][ESS]") << "WPA personal" << false;
    QTest::newRow("SAE only: WPA3-Personal") << QByteArray("[WPA2-SAE-CCMP][ESS]") << "WPA personal" << true;
    QTest::newRow("SAE with fast roaming") << QByteArray("[RSN-SAE+FT/SAE-CCMP][ESS]") << "WPA personal" << true;
    QTest::newRow("EAP beats SAE") << QByteArray("[RSN-EAP+SAE-CCMP]") << "WPA enterprise" << false;
    QTest::newRow("EAP") << QByteArray("[WPA2-EAP-CCMP][ESS]") << "WPA enterprise" << false;
    QTest::newRow("EAP beats PSK") << QByteArray("[WPA2-EAP+PSK-CCMP]") << "WPA enterprise" << false;
    QTest::newRow("EAP with fast roaming") << QByteArray("[WPA2-EAP+FT/EAP-CCMP-preauth][ESS]") << "WPA enterprise" << false;
    QTest::newRow("EAP, TKIP") << QByteArray("[WPA-EAP-TKIP][ESS]") << "WPA enterprise" << false;
    QTest::newRow("EAP-SHA256 alone") << QByteArray("[WPA2-EAP-SHA256-CCMP]") << "WPA enterprise" << false;
    QTest::newRow("FT/EAP alone, lower case") << QByteArray("[wpa2-ft/eap-ccmp+tkip]") << "WPA enterprise" << false;
    QTest::newRow("192-bit") << QByteArray("[WPA2-EAP-SUITE-B-192-GCMP-256][ESS]") << "unsupported" << false;
    QTest::newRow("192-bit in another group") << QByteArray("[WPA2-EAP-CCMP][RSN-EAP-SUITE-B-192-GCMP-256]")
                                              << "unsupported" << false;
    QTest::newRow("EAP and WEP") << QByteArray("[WPA-EAP-WEP104][WEP]") << "unsupported" << false;
    QTest::newRow("an EAP token of another kind") << QByteArray("[WPA2-EAP-SHA384-CCMP]") << "unsupported" << false;
    QTest::newRow("OWE") << QByteArray("[WPA2-OWE-CCMP][ESS]") << "unsupported" << false;
    QTest::newRow("WEP") << QByteArray("[WEP][ESS]") << "unsupported" << false;
    QTest::newRow("RSN without key") << QByteArray("[RSN-CCMP]") << "unsupported" << false;
    QTest::newRow("WPA without key") << QByteArray("[WPA-NONE]") << "unsupported" << false;
}

void NetworkParseTest::classifies()
{
    QFETCH(QByteArray, flags);
    const auto items = Client::parse_networks("aa:01\t2412\t-50\t" + flags + "\tNet", QByteArray(), Status());
    QCOMPARE(items.size(), size_t(1));
    QTEST(Client::security_name(items.front().credentials), "security");
    QTEST(items.front().credentials == Credentials::Sae, "sae_only");
}

void NetworkParseTest::decodes_names_data()
{
    QTest::addColumn<QByteArray>("escaped");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << QByteArray("Home") << "Home";
    QTest::newRow("UTF-8") << QByteArray("Caf\\xc3\\xa9") << QString::fromUtf8("Caf\xc3\xa9");
    QTest::newRow("curly apostrophe") << QByteArray("John\\xe2\\x80\\x99s iPhone")
                                      << QString::fromUtf8("John\xe2\x80\x99s iPhone");
    QTest::newRow("quote and backslash") << QByteArray("a\\\"b\\\\c") << "a\"b\\c";
    QTest::newRow("tab, newline, CR, ESC") << QByteArray("a\\tb\\nc\\rd\\ee")
                                           << QString::fromUtf8("a\tb\nc\rd\x1b" "e");
    QTest::newRow("control byte") << QByteArray("a\\x01\\x7f") << QString::fromUtf8("a\x01\x7f");
    QTest::newRow("invalid UTF-8 kept as received") << QByteArray("Caf\\xe9") << "Caf\\xe9";
    QTest::newRow("truncated UTF-8 kept") << QByteArray("Caf\\xc3") << "Caf\\xc3";
    QTest::newRow("upper-case hex is no escape") << QByteArray("a\\xC3\\xA9") << "a\\xC3\\xA9";
    QTest::newRow("short hex is no escape") << QByteArray("a\\x4") << "a\\x4";
    QTest::newRow("unknown escape stays") << QByteArray("a\\qb") << "a\\qb";
    QTest::newRow("lone backslash at the end") << QByteArray("ab\\") << "ab\\";
    QTest::newRow("escaped backslash before x") << QByteArray("a\\\\x41") << "a\\x41";
    QTest::newRow("leading byte-order mark kept") << QByteArray("\\xef\\xbb\\xbfX") << QString(QChar(0xfeff)) + QLatin1Char('X');
    QTest::newRow("DEL in a label of bytes that are not UTF-8") << QByteArray("\\xff\\x7f") << "\\xff\\x7f";
    QTest::newRow("raw UTF-8 passes") << QByteArray("Caf\xc3\xa9") << QString::fromUtf8("Caf\xc3\xa9");
}

void NetworkParseTest::decodes_names()
{
    QFETCH(QByteArray, escaped);
    QFETCH(QString, name);
    QCOMPARE(Client::parse_status("ssid=" + escaped).ssid, name);
    const auto scanned = Client::parse_networks("aa:01\t2412\t-50\t[ESS]\t" + escaped, QByteArray(), Status());
    QCOMPARE(scanned.size(), size_t(1));
    QCOMPARE(scanned.front().ssid, name);
    const auto saved = Client::parse_networks(QByteArray(), "0\t" + escaped + "\tany\t", Status());
    QCOMPARE(saved.size(), size_t(1));
    QCOMPARE(saved.front().ssid, name);
}

void NetworkParseTest::renders_for_terminal_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("plain") << QStringLiteral("Home net") << QByteArray("Home net");
    QTest::newRow("UTF-8 letters") << QString::fromUtf8("Caf\xc3\xa9 \xe2\x80\x99") << QByteArray("Caf\xc3\xa9 \xe2\x80\x99");
    QTest::newRow("ESC") << QString::fromUtf8("a\x1b[2Jb") << QByteArray("a\\x1b[2Jb");
    QTest::newRow("C0 and DEL") << QString::fromUtf8("\t\n\r\x01\x7f") << QByteArray("\\x09\\x0a\\x0d\\x01\\x7f");
    QTest::newRow("NUL") << QString(QChar(0)) << QByteArray("\\x00");
    QTest::newRow("C1 controls") << QString(QChar(0x80)) + QChar(0x9b) + QChar(0x9f) + QChar(0xa0)
                                 << QByteArray("\\x80\\x9b\\x9f\xc2\xa0");
    QTest::newRow("backslash stays") << QStringLiteral("a\\b") << QByteArray("a\\b");
}

void NetworkParseTest::renders_for_terminal()
{
    QFETCH(QString, text);
    QTEST(vtl::wifi::terminal_text(text), "shown");
}

// 64 pages of 64 KiB of tiny entries, each its own name: a daemon may send that.
void NetworkParseTest::merges_the_largest_reply_quickly()
{
    QByteArray scan;
    for (int entry = 0; scan.size() < 64 * 65536; ++entry)
        scan += "a\t1\t-5\t\t" + QByteArray::number(entry, 36) + '\n';
    QElapsedTimer timer;
    timer.start();
    const std::vector<vtl::wifi::Network> merged = Client::parse_networks(scan, QByteArray(), Status());
    // Linear: seconds under the sanitizers; a quadratic merge takes hours.
    QVERIFY2(timer.elapsed() < hang_limit_ms(20000), qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(merged.size(), size_t(scan.count('\n')));
}

QTEST_GUILESS_MAIN(NetworkParseTest)
#include "network_parse_test.moc"
