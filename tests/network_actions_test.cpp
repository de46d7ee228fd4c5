#include "support/child_process.h"
#include "support/fake_daemon.h"
#include "support/tool_run.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>

namespace {

using Script = QList<QPair<QByteArray, QByteArray>>;

const QByteArray scan_results =
    "bssid / frequency / signal level / flags / ssid\n"
    "aa:00:00:00:00:01\t2412\t-30\t[ESS]\tStranger\n"
    "aa:00:00:00:00:02\t2437\t-70\t[WPA2-PSK-CCMP][ESS]\tOffice\n"
    "aa:00:00:00:00:03\t2462\t-45\t[WPA2-PSK-CCMP][ESS]\tHome\n"
    "aa:00:00:00:00:04\t5180\t-100\t[WPA2-EAP-CCMP][ESS]\tFaint\n"
    "aa:00:00:00:00:05\t2412\t-80\t[ESS]\tCaf\\xc3\\xa9\n"
    "aa:00:00:00:00:06\t2412\t-90\t[ESS]\tEvil\\e[2J\n";
const QByteArray saved_profiles =
    "network id / ssid / bssid / flags\n"
    "0\tHome\tany\t[CURRENT]\n"
    "1\tOffice\tany\t\n"
    "2\tAttic\tany\t[DISABLED]\n";
const QByteArray connected = "wpa_state=COMPLETED\nssid=Home\nid=0\nip_address=10.0.0.7\n";

const QByteArray list_text =
    "1. * Home  [WPA personal, -45 dBm, saved]\n"
    "2.   Office  [WPA personal, -70 dBm, saved]\n"
    "3.   Attic  [unsupported, saved, saved]\n"
    "4.   Stranger  [open, -30 dBm]\n"
    "5.   Caf\xc3\xa9  [open, -80 dBm]\n"
    "6.   Evil\\x1b[2J  [open, -90 dBm]\n"
    "7.   Faint  [WPA enterprise, saved]\n";

QByteArray json_entry(const char* bssid, bool current, int frequency, int saved_id, const char* security,
                      int signal, const char* ssid, bool supported)
{
    const auto boolean = [](bool value) { return QByteArray(value ? "true" : "false"); };
    return "{\"bssid\":\"" + QByteArray(bssid) + "\",\"current\":" + boolean(current)
        + ",\"frequency\":" + QByteArray::number(frequency) + ",\"saved\":" + boolean(saved_id >= 0)
        + ",\"saved_id\":" + QByteArray::number(saved_id) + ",\"security\":\"" + security
        + "\",\"signal\":" + QByteArray::number(signal) + ",\"ssid\":\"" + ssid
        + "\",\"supported\":" + boolean(supported) + "}";
}

const QByteArray list_json =
    "[" + json_entry("aa:00:00:00:00:03", true, 2462, 0, "WPA personal", -45, "Home", true) + ","
    + json_entry("aa:00:00:00:00:02", false, 2437, 1, "WPA personal", -70, "Office", true) + ","
    + json_entry("", false, 0, 2, "unsupported", -100, "Attic", false) + ","
    + json_entry("aa:00:00:00:00:01", false, 2412, -1, "open", -30, "Stranger", true) + ","
    + json_entry("aa:00:00:00:00:05", false, 2412, -1, "open", -80, "Caf\xc3\xa9", true) + ","
    + json_entry("aa:00:00:00:00:06", false, 2412, -1, "open", -90, "Evil\\u001b[2J", true) + ","
    + json_entry("aa:00:00:00:00:04", false, 5180, -1, "WPA enterprise", -100, "Faint", true) + "]\n";

const Script daemon_with_networks = {{"SCAN", "OK\n"},
                                     {"SCAN_RESULTS", scan_results},
                                     {"LIST_NETWORKS", saved_profiles},
                                     {"STATUS", connected},
                                     {"DISCONNECT", "OK\n"},
                                     {"REMOVE_NETWORK 0", "OK\n"},
                                     {"REMOVE_NETWORK 1", "OK\n"},
                                     {"REMOVE_NETWORK 4", "OK\n"},
                                     {"REMOVE_NETWORK 5", "OK\n"},
                                     {"SAVE_CONFIG", "OK\n"}};

// The script with the reply to `request` replaced.
Script with(Script script, const QByteArray& request, const QByteArray& reply)
{
    script.removeIf([&request](const auto& entry) { return entry.first == request; });
    script.append({request, reply});
    return script;
}

const QList<QByteArray> cached_list = {"SCAN_RESULTS", "LIST_NETWORKS", "STATUS"};

// A daemon that knows no ATTACH answers UNKNOWN COMMAND: the scan waits the fixed delay.
const QList<QByteArray> scanning_list = QList<QByteArray>{"ATTACH", "SCAN"} + cached_list;

} // namespace

class NetworkActionsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void runs_data();
    void runs();
    void waits_for_scan_data();
    void waits_for_scan();
    void lists_crowded_places_data();
    void lists_crowded_places();
    void follows_the_link_data();
    void follows_the_link();
    void forgets_a_ca_no_profile_names();
};

void NetworkActionsTest::runs_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Script>("script");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<QList<QByteArray>>("requests");
    const Script networks = daemon_with_networks;
    const QByteArray none;
    const QByteArray empty_table = "bssid / frequency / signal level / flags / ssid\n";

    QTest::newRow("list") << words("list") << networks << list_text << none << scanning_list;
    QTest::newRow("list --json") << words("list --json") << networks << list_json << none << scanning_list;
    QTest::newRow("list --cached") << words("--cached list") << networks << list_text << none << cached_list;
    QTest::newRow("list --follow: as list") << words("list --cached --follow") << networks << list_text << none
                                            << cached_list;
    QTest::newRow("list, scan busy") << words("list") << with(networks, "SCAN", "FAIL-BUSY\n") << list_text << none
                                     << scanning_list;
    QTest::newRow("list, scan refused")
        << words("list --json") << with(networks, "SCAN", "FAIL\n") << none
        << QByteArray("vantrel-wifi: Could not start Wi-Fi scan: FAIL\n") << QList<QByteArray>{"ATTACH", "SCAN"};
    QTest::newRow("list, scan answered ok")
        << words("list") << with(networks, "SCAN", "ok\n") << none
        << QByteArray("vantrel-wifi: Could not start Wi-Fi scan: ok\n") << QList<QByteArray>{"ATTACH", "SCAN"};
    QTest::newRow("empty list, text")
        << words("list --cached") << Script{{"SCAN_RESULTS", empty_table}, {"LIST_NETWORKS", "FAIL\n"}}
        << none << none << cached_list;
    QTest::newRow("empty list, json")
        << words("list --cached --json") << Script{{"SCAN_RESULTS", ""}, {"LIST_NETWORKS", ""}}
        << QByteArray("[]\n") << none << cached_list;

    QTest::newRow("disconnect") << words("disconnect") << networks << QByteArray("Wi-Fi disconnected.\n") << none
                                << QList<QByteArray>{"DISCONNECT"};
    QTest::newRow("--json disconnect") << words("--json disconnect") << networks << QByteArray("{\"ok\":true}\n")
                                       << none << QList<QByteArray>{"DISCONNECT"};
    QTest::newRow("disconnect --json") << words("disconnect --json") << networks << QByteArray("{\"ok\":true}\n")
                                       << none << QList<QByteArray>{"DISCONNECT"};
    QTest::newRow("disconnect refused")
        << words("disconnect --json") << with(networks, "DISCONNECT", "FAIL\n") << none
        << QByteArray("vantrel-wifi: Could not disconnect Wi-Fi: FAIL\n") << QList<QByteArray>{"DISCONNECT"};

    QTest::newRow("forget") << words("forget --yes Office") << networks << QByteArray("Forgot Office.\n") << none
                            << QList<QByteArray>{"REMOVE_NETWORK 1", "SAVE_CONFIG"};
    QTest::newRow("forget --json") << words("forget Office --json --yes") << networks
                                   << QByteArray("{\"ok\":true}\n") << none
                                   << QList<QByteArray>{"REMOVE_NETWORK 1", "SAVE_CONFIG"};
    QTest::newRow("forget the current network, no disconnect")
        << words("forget --yes Home") << networks << QByteArray("Forgot Home.\n") << none
        << QList<QByteArray>{"REMOVE_NETWORK 0", "SAVE_CONFIG"};
    QTest::newRow("forget a network seen but not saved")
        << words("forget --yes Stranger") << networks << none
        << QByteArray("vantrel-wifi: Stranger is not a saved network.\n") << QList<QByteArray>();
    QTest::newRow("forget, letter case differs")
        << words("forget --yes office") << networks << none
        << QByteArray("vantrel-wifi: office is not a saved network.\n") << QList<QByteArray>();
    QTest::newRow("forget of two profiles with one name removes both")
        << words("forget --yes Home") << with(networks, "LIST_NETWORKS", "network id\n0\tHome\n4\tHome\n")
        << QByteArray("Forgot Home.\n") << none
        << QList<QByteArray>{"REMOVE_NETWORK 0", "REMOVE_NETWORK 4", "SAVE_CONFIG"};
    QTest::newRow("forget, removal refused")
        << words("forget --yes Office") << with(networks, "REMOVE_NETWORK 1", "FAIL\n") << none
        << QByteArray("vantrel-wifi: Could not remove Wi-Fi network: FAIL\n")
        << QList<QByteArray>{"REMOVE_NETWORK 1"};
    QTest::newRow("forget, the second of two refused: the first stays removed, saved")
        << words("forget --yes Home")
        << with(with(networks, "LIST_NETWORKS", "network id\n0\tHome\n4\tHome\n"), "REMOVE_NETWORK 4", "FAIL\n")
        << none << QByteArray("vantrel-wifi: Could not remove Wi-Fi network: FAIL\n")
        << QList<QByteArray>{"REMOVE_NETWORK 0", "REMOVE_NETWORK 4", "SAVE_CONFIG"};
    QTest::newRow("forget, save refused")
        << words("forget --yes Office") << with(networks, "SAVE_CONFIG", "FAIL\n") << none
        << QByteArray("vantrel-wifi: Could not save removed Wi-Fi network: FAIL\n")
        << QList<QByteArray>{"REMOVE_NETWORK 1", "SAVE_CONFIG"};
    QTest::newRow("forget a name the daemon escapes")
        << QStringList{QStringLiteral("forget"), QStringLiteral("--yes"), QString::fromUtf8("Caf\xc3\xa9")}
        << with(networks, "LIST_NETWORKS", "network id / ssid / bssid / flags\n5\tCaf\\xc3\\xa9\tany\t\n")
        << QByteArray("Forgot Caf\xc3\xa9.\n") << none << QList<QByteArray>{"REMOVE_NETWORK 5", "SAVE_CONFIG"};
    const QByteArray look_alikes = "network id / ssid / bssid / flags\n5\tlat\\xe9\tany\t\n6\tlat\\\\xe9\tany\t\n";
    QTest::newRow("forget a name that is not UTF-8: its bytes")
        << QStringList{QStringLiteral("forget"), QStringLiteral("--yes"), raw_word("lat\xe9")}
        << with(with(networks, "LIST_NETWORKS", look_alikes), "REMOVE_NETWORK 5", "OK\n")
        << QByteArray("Forgot lat\\xe9.\n") << none << QList<QByteArray>{"REMOVE_NETWORK 5", "SAVE_CONFIG"};
    QTest::newRow("forget its look-alike: those bytes")
        << QStringList{QStringLiteral("forget"), QStringLiteral("--yes"), QStringLiteral("lat\\xe9")}
        << with(with(networks, "LIST_NETWORKS", look_alikes), "REMOVE_NETWORK 6", "OK\n")
        << QByteArray("Forgot lat\\xe9.\n") << none << QList<QByteArray>{"REMOVE_NETWORK 6", "SAVE_CONFIG"};
    // 41 profiles whose names the daemon escapes pass 4 KiB: it cuts the table after the last whole line.
    QByteArray first_page = "network id / ssid / bssid / flags\n";
    QByteArray second_page = first_page;
    int last_listed = -1;
    for (int id = 0; id < 41; ++id) {
        const QByteArray line = QByteArray::number(id) + '\t' + QByteArray("\\xc3\\xa9").repeated(15)
            + QByteArray::number(id) + "\tany\t[DISABLED]\n";
        if (last_listed == id - 1 && first_page.size() + line.size() < 4096) {
            first_page += line;
            last_listed = id;
        } else {
            second_page += line;
        }
    }
    const QByteArray continuation = "LIST_NETWORKS LAST_ID=" + QByteArray::number(last_listed);
    const Script long_table = with(with(networks, "LIST_NETWORKS", first_page), continuation, second_page);
    const QList<QByteArray> paged_lookup = {"LIST_NETWORKS", continuation, "STATUS"};
    const QString last_name = QString::fromUtf8("\xc3\xa9").repeated(15) + QStringLiteral("40");
    QTest::newRow("forget the last of a table past 4 KiB")
        << QStringList{QStringLiteral("forget"), QStringLiteral("--yes"), last_name}
        << with(long_table, "REMOVE_NETWORK 40", "OK\n") << (QStringLiteral("Forgot ") + last_name + QStringLiteral(".\n")).toUtf8()
        << none << paged_lookup + QList<QByteArray>{"REMOVE_NETWORK 40", "SAVE_CONFIG"};
    QTest::newRow("a daemon that ignores LAST_ID: no page after it")
        << QStringList{QStringLiteral("forget"), QStringLiteral("--yes"), last_name}
        << with(long_table, continuation, first_page) << none
        << (QStringLiteral("vantrel-wifi: ") + last_name + QStringLiteral(" is not a saved network.\n")).toUtf8()
        << paged_lookup;
    QTest::newRow("a later page of the table refused: no change")
        << words("forget --yes Office") << with(long_table, continuation, "FAIL\n") << none
        << QByteArray("vantrel-wifi: Could not list saved Wi-Fi networks: FAIL\n") << paged_lookup.mid(0, 2);
    // Ranked and kept from joining by itself in place, at the range's ends.
    QTest::newRow("priority, the range's top") << words("priority Office 999")
        << with(networks, "SET_NETWORK 1 priority 999", "OK\n") << QByteArray("Priority of Office set to 999.\n") << none
        << QList<QByteArray>{"SET_NETWORK 1 priority 999", "SAVE_CONFIG"};
    QTest::newRow("priority, the range's foot") << words("priority --json Office -999")
        << with(networks, "SET_NETWORK 1 priority -999", "OK\n") << QByteArray("{\"ok\":true}\n") << none
        << QList<QByteArray>{"SET_NETWORK 1 priority -999", "SAVE_CONFIG"};
    QTest::newRow("autojoin off: the flag in place") << words("autojoin off Office")
        << with(networks, "SET_NETWORK 1 disabled 1", "OK\n") << QByteArray("Auto-join of Office is off.\n") << none
        << QList<QByteArray>{"SET_NETWORK 1 disabled 1", "SAVE_CONFIG"};
    QTest::newRow("autojoin on: no attempt") << words("autojoin on Attic")
        << with(networks, "ENABLE_NETWORK 2 no-connect", "OK\n") << QByteArray("Auto-join of Attic is on.\n") << none
        << QList<QByteArray>{"ENABLE_NETWORK 2 no-connect", "SAVE_CONFIG"};
    QTest::newRow("autojoin of a network not saved") << words("autojoin off Stranger") << networks << none
        << QByteArray("vantrel-wifi: Stranger is not a saved network.\n") << QList<QByteArray>();
    QTest::newRow("JSON escapes DEL and C1 controls")
        << words("list --cached --json")
        << with(with(networks, "SCAN_RESULTS", "bssid\naa:07\t2412\t-50\t[ESS]\ta\\x7f\\xc2\\x9b2J\n"),
                "LIST_NETWORKS", "")
        << json_entry("aa:07", false, 2412, -1, "open", -50, "a\\u007f\\u009b2J", true).prepend('[') + "]\n" << none
        << cached_list;
    QTest::newRow("a name with ESC never reaches the terminal")
        << QStringList{QStringLiteral("forget"), QStringLiteral("--yes"), QString::fromUtf8("Evil\x1b[2J")}
        << networks << none << QByteArray("vantrel-wifi: Evil\\x1b[2J is not a saved network.\n") << QList<QByteArray>();
}

void NetworkActionsTest::runs()
{
    QFETCH(QStringList, arguments);
    QFETCH(Script, script);
    FakeDaemon daemon;
    for (const auto& [request, reply] : script)
        daemon.reply(request, reply);
    const ToolRun run = run_wifi(wifi_environment(daemon.path(), {QStringLiteral("VANTREL_WIFI_SCAN_DELAY_MS=0")}),
                                 arguments);
    QTEST(run.out, "out");
    QTEST(run.err, "err");
    QFETCH(QByteArray, err);
    QCOMPARE(run.status, err.isEmpty() ? 0 : 1);
    // A row that lists reads (a list, paging) is about them and compares every
    // request; one that lists only changes compares what changed.
    QFETCH(QList<QByteArray>, requests);
    const bool reading = changing(requests) != requests;
    QCOMPARE(reading ? daemon.requests() : changing(daemon.requests()), requests);
    QCOMPARE(leftover_sockets(run.pid), QStringList());
}

using Events = QList<FakeDaemon::Event>;

void NetworkActionsTest::waits_for_scan_data()
{
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("scan");   // the reply to SCAN
    QTest::addColumn<QByteArray>("attach"); // the reply to ATTACH; empty: the daemon knows no such request
    QTest::addColumn<Events>("events");     // after SCAN
    QTest::addColumn<QByteArray>("before"); // the request the wait comes before, its last occurrence
    QTest::addColumn<int>("waits");         // the tool's own wait, in ms
    QTest::addColumn<int>("status");
    const QStringList list = words("list --json");
    const QByteArray results = "SCAN_RESULTS";
    const QByteArray busy = "FAIL-BUSY\n";
    const QByteArray ok = "OK\n";
    const auto delay = [](const char* value) {
        return QStringList{QStringLiteral("VANTREL_WIFI_SCAN_DELAY_MS=") + QLatin1String(value)};
    };
    QTest::newRow("default") << QStringList() << list << busy << QByteArray() << Events() << results << 1400 << 0;
    QTest::newRow("zero") << delay("0") << list << busy << QByteArray() << Events() << results << 0 << 0;
    QTest::newRow("hex") << delay("0x7d0") << list << busy << QByteArray() << Events() << results << 2000 << 0;
    QTest::newRow("negative") << delay("-5") << list << busy << QByteArray() << Events() << results << 1400 << 0;
    QTest::newRow("not a number") << delay("soon") << list << busy << QByteArray() << Events() << results << 1400 << 0;
    // A directed scan: "Busy" is answered FAIL-BUSY, "Quiet" OK.
    QTest::newRow("directed, after it") << delay("300") << words("connect --hidden --open Quiet") << busy << QByteArray()
                                        << Events() << results << 300 << 1;
    QTest::newRow("directed and busy, before asking again")
        << delay("300") << words("connect --hidden --open Busy") << busy << QByteArray() << Events()
        << QByteArray("ATTACH") << 300 << 1;
    // The daemon's own word on the scan ends the wait; "Late" is found only by a scan that ends after 3 s.
    const FakeDaemon::Event started = {0, "<3>CTRL-EVENT-SCAN-STARTED "};
    const FakeDaemon::Event found = {300, "<3>CTRL-EVENT-SCAN-RESULTS "};
    const FakeDaemon::Event late = {3000, "<3>CTRL-EVENT-SCAN-RESULTS ", false,
                                    QList<FakeDaemon::AccessPoint>{{"aa:09", 2412, -50, "[ESS]", "Late"}}};
    const FakeDaemon::Event other = {100, "<3>CTRL-EVENT-BSS-ADDED 0 aa:09"};
    QTest::newRow("results after 300 ms") << QStringList() << list << ok << ok << Events{started, found} << results << 300
                                          << 0;
    QTest::newRow("results after 3 s, the late network with them") << QStringList() << list << ok << ok
                                                                    << Events{started, late} << results << 3000 << 0;
    QTest::newRow("started, another event, results after 3 s")
        << QStringList() << list << ok << ok << Events{started, other, late} << results << 3000 << 0;
    QTest::newRow("started, never an end: 10 s") << QStringList() << list << ok << ok << Events{started} << results
                                                 << 10000 << 0;
    QTest::newRow("no events: the delay") << QStringList() << list << ok << ok << Events() << results << 1400 << 0;
    Events chatter;
    for (int after = 500; after <= 20000; after += 500)
        chatter.append({after, "<3>CTRL-EVENT-BSS-ADDED 0 aa:09"});
    QTest::newRow("other events all along: the delay from the request")
        << QStringList() << list << ok << ok << chatter << results << 1400 << 0;
    QTest::newRow("ATTACH refused: the delay") << QStringList() << list << ok << QByteArray("FAIL\n")
                                               << Events{started, found} << results << 1400 << 0;
    QTest::newRow("busy, then results") << QStringList() << list << busy << ok
                                        << Events{{200, "<3>CTRL-EVENT-SCAN-RESULTS "}} << results << 200 << 0;
    QTest::newRow("busy, results after 3 s") << QStringList() << list << busy << ok << Events{late} << results << 3000
                                             << 0;
    QTest::newRow("scan failed") << QStringList() << list << ok << ok
                                 << Events{started, {100, "<3>CTRL-EVENT-SCAN-FAILED ret=-16"}} << results << 100 << 0;
    QTest::newRow("a signal in the wait") << QStringList() << list << ok << ok << Events{started} << QByteArray() << 0
                                          << 130;
}

void NetworkActionsTest::waits_for_scan()
{
    QFETCH(QStringList, settings);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, scan);
    QFETCH(QByteArray, attach);
    QFETCH(Events, events);
    QFETCH(QByteArray, before);
    QFETCH(int, waits);
    FakeDaemon daemon;
    daemon.reply("SCAN", scan);
    daemon.reply("SCAN ssid 42757379", "FAIL-BUSY\n");
    daemon.reply("SCAN ssid 5175696574", "OK\n");
    if (!attach.isEmpty())
        daemon.reply("ATTACH", attach);
    daemon.announce("SCAN", events);
    daemon.hold({{"aa:08", 2412, -40, "[ESS]", "Early"}});
    if (before.isEmpty())
        daemon.inject(FakeDaemon::Fault::Interrupt, "SCAN", 1);
    const ToolRun run = run_wifi(wifi_environment(daemon.path(), settings), arguments);
    QTEST(run.status, "status");
    QCOMPARE(leftover_sockets(run.pid), QStringList());
    if (before.isEmpty())
        return;
    QVERIFY(daemon.requests().contains(before));
    // The tool's clock starts once ATTACH is answered, before the scan is asked for.
    const qint64 pause = daemon.interval("ATTACH", before);
    QVERIFY2(pause >= waits && pause < hang_limit_ms(waits), qPrintable(QString::number(pause)));
    QCOMPARE(daemon.requests().count("SCAN_RESULTS"), 1);
    if (!events.isEmpty() && events.last().table)
        QVERIFY2(run.out.contains("\"ssid\":\"Late\""), run.out.constData());
}

// The daemon's SCAN_RESULTS stops at 4096 bytes; its BSS table has them all.
void NetworkActionsTest::lists_crowded_places_data()
{
    QTest::addColumn<int>("access_points");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("refused");
    QTest::addColumn<QByteArray>("first_page"); // the reply to the first BSS request, when not the table's
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("listed");
    QTest::addColumn<int>("bss_requests");
    const QByteArray none;
    const QStringList json = words("list --cached --json");
    QTest::newRow("crowded: every name once, at its strongest") << 160 << json << none << none << none << 100 << 4;
    QTest::newRow("crowded, as text") << 160 << words("list --cached") << none << none << none << 100 << 4;
    QTest::newRow("crowded, the pick menu") << 160 << words("pick") << none << none
                                            << QByteArray("Network number: vantrel-wifi: Invalid network number.\n")
                                            << 100 << 4;
    QTest::newRow("crowded, connect finds a name past the cut")
        << 160 << words("connect --open Net099") << none << none
        << QByteArray("vantrel-wifi: wpa_supplicant did not create a network profile.\n") << 0 << 4;
    // With 54 lines SCAN_RESULTS ends just short of 3 KiB, whole; with 56 it might have been cut.
    QTest::newRow("short table: no BSS request") << 54 << json << none << none << none << 54 << 0;
    QTest::newRow("a table past 3 KiB is read again") << 56 << json << none << none << none << 56 << 2;
    QTest::newRow("BSS refused: the list as SCAN_RESULTS gave it")
        << 160 << json << QByteArray("BSS RANGE=0- MASK=0x21887") << none << none << 73 << 1;
    QTest::newRow("a later page refused: the same")
        << 160 << json << QByteArray("BSS RANGE=43- MASK=0x21887") << none << none << 73 << 2;
    const QByteArray entry = "bssid=02:00:00:00:01:00\nfreq=2412\nlevel=-40\nflags=[ESS]\nssid=Extra";
    QTest::newRow("ids that go back: no later page trusted")
        << 160 << json << none << "id=7\n" + entry + "7\n====\nid=3\n" + entry + "3\n====\n" << none << 73 << 1;
    QTest::newRow("an entry after the table's last: the page refused")
        << 160 << json << none << "id=7\n" + entry + "7\n####\nid=8\n" + entry + "8\n====\n" << none << 73 << 1;
    QTest::newRow("a page cut inside its last entry: refused")
        << 160 << json << none << "id=7\n" + entry + "7\n====\nid=8\nbssid=02:00:00:00:01:00\nfreq=2412\n" << none
        << 73 << 1;
}

void NetworkActionsTest::lists_crowded_places()
{
    QFETCH(int, access_points);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, refused);
    QFETCH(QByteArray, first_page);
    FakeDaemon daemon;
    const QList<FakeDaemon::AccessPoint> table = crowded_table(access_points);
    daemon.hold(table);
    daemon.reply("SCAN", "OK\n");
    daemon.reply("LIST_NETWORKS", "network id / ssid / bssid / flags\n");
    if (!refused.isEmpty())
        daemon.reply(refused, "UNKNOWN COMMAND\n");
    if (!first_page.isEmpty())
        daemon.reply("BSS RANGE=0- MASK=0x21887", first_page);
    const ToolRun run = run_wifi(wifi_environment(daemon.path(), {QStringLiteral("VANTREL_WIFI_SCAN_DELAY_MS=0")}),
                                 arguments, "0\n");
    QTEST(run.err, "err");
    const QList<QByteArray> requests = daemon.requests();
    QTEST(int(std::count_if(requests.begin(), requests.end(), [](const QByteArray& r) { return r.startsWith("BSS "); })),
          "bss_requests");
    if (!run.out.startsWith('[')) {
        QTEST(int(run.out.count('\n')), "listed");
        return;
    }
    const QJsonArray listed = QJsonDocument::fromJson(run.out).array();
    QTEST(int(listed.size()), "listed");
    QMap<QString, int> strongest;
    for (const FakeDaemon::AccessPoint& point : table)
        strongest[QString::fromUtf8(point.ssid)] = std::max(strongest.value(QString::fromUtf8(point.ssid), -100), point.level);
    QSet<QString> names;
    for (const QJsonValue& entry : listed) {
        const QString name = entry[QLatin1String("ssid")].toString();
        names.insert(name);
        if (listed.size() == strongest.size())
            QCOMPARE(entry[QLatin1String("signal")].toInt(), strongest.value(name));
    }
    QCOMPARE(names.size(), listed.size());
}

using Replies = QList<FakeDaemon::Reply>;

// What the reader of the records does once it has them all.
enum class Reader {
    Stays,       // until SIGTERM ends the follower: 143
    Leaves,      // closes its end: the follower ends at once, 0
    StopsTaking, // shuts its socket for reading: the next record meets EPIPE, 0
    Late,        // reads nothing before the fourth status poll, then stays
};

// The records a follower writes as the daemon's answers change at its ticks
// and at the daemon's events, until its reader goes or SIGTERM ends it.
void NetworkActionsTest::follows_the_link_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("interval");
    QTest::addColumn<Replies>("attach"); // one for each ATTACH the follower makes
    QTest::addColumn<Events>("events");  // each ATTACH answered OK brings them
    QTest::addColumn<Replies>("statuses"); // in turn, the last repeated
    QTest::addColumn<Replies>("polls");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<Reader>("reader");
    const QByteArray json = "{\"address\":\"10.0.0.7\",\"saved_id\":0,";
    const Replies ok = {"OK\n"};
    const QByteArray scanning = "wpa_state=SCANNING\n";
    const QByteArray scanning_text = "State: SCANNING\nNetwork: \nAddress: \n\n";
    const QByteArray scanning_json = "{\"address\":\"\",\"saved_id\":-1,\"ssid\":\"\",\"state\":\"SCANNING\"}\n";
    const QByteArray unreachable = "{\"state\":\"UNREACHABLE\"}\n";
    const QByteArray reset = "vantrel-wifi: Could not read Wi-Fi response: Connection reset by peer\n";
    QTest::newRow("the signal changes: a record at the next tick")
        << words("status --follow --json") << 200 << ok << Events() << Replies{connected}
        << Replies{"RSSI=-50\n", "RSSI=-50\n", "RSSI=-61\n"}
        << json + "\"signal\":-50,\"ssid\":\"Home\",\"state\":\"COMPLETED\"}\n" + json
               + "\"signal\":-61,\"ssid\":\"Home\",\"state\":\"COMPLETED\"}\n"
        << QByteArray() << Reader::Stays;
    QTest::newRow("ATTACH refused: records by ticks")
        << words("--follow status --json") << 200 << Replies{"FAIL\n"} << Events()
        << Replies{scanning, scanning, connected} << Replies{"FAIL\n"}
        << scanning_json + json + "\"ssid\":\"Home\",\"state\":\"COMPLETED\"}\n" << QByteArray() << Reader::Stays;
    QTest::newRow("text, the reader leaves") << words("status --follow") << 200 << ok << Events()
                                             << Replies{scanning, connected} << Replies() << scanning_text
                                             << QByteArray() << Reader::Leaves;
    QTest::newRow("the reader leaves an idle link: at once")
        << words("status --follow") << 200 << ok << Events() << Replies{scanning} << Replies() << scanning_text
        << QByteArray() << Reader::Leaves;
    QTest::newRow("the reader stops taking output: quietly at the next record")
        << words("status --follow") << 200 << ok << Events() << Replies{scanning, connected} << Replies()
        << scanning_text << QByteArray() << Reader::StopsTaking;
    QTest::newRow("an interval under 100 ms: the default")
        << words("status --follow") << 99 << ok << Events() << Replies{scanning, connected} << Replies()
        << scanning_text << QByteArray() << Reader::Stays;
    // A record of 80 KB fills the reader's pipe: a record in between never
    // begun, the first one is not written twice.
    const QByteArray wide = "wpa_state=SCANNING\nip_address=" + QByteArray(20000, '\x01') + '\n';
    QTest::newRow("a record back while it is still being written: once")
        << words("status --follow") << 200 << ok << Events() << Replies{wide, connected, wide} << Replies()
        << "State: SCANNING\nNetwork: \nAddress: " + QByteArray("\\x01").repeated(20000) + "\n\n" << QByteArray()
        << Reader::Late;
    QTest::newRow("the daemon terminates: unreachable at once")
        << words("status --follow") << 60000 << ok << Events{{100, "<2>CTRL-EVENT-TERMINATING "}} << Replies{scanning}
        << Replies() << scanning_text + "State: UNREACHABLE\n\n" << QByteArray() << Reader::Stays;
    // Each outage is told why, the second after the daemon was back too.
    QTest::newRow("the event socket fails twice: unreachable at once, each told")
        << words("status --follow --json") << 1000 << Replies{"OK\n", "OK\n", "FAIL\n"}
        << Events{{100, QByteArray(), true}} << Replies{scanning} << Replies()
        << (scanning_json + unreachable).repeated(2) + scanning_json << reset + reset << Reader::Stays;
}

void NetworkActionsTest::follows_the_link()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, interval);
    QFETCH(Replies, attach);
    QFETCH(Events, events);
    QFETCH(Replies, statuses);
    QFETCH(Replies, polls);
    QFETCH(QByteArray, out);
    QFETCH(Reader, reader);
    FakeDaemon daemon;
    daemon.script("ATTACH", attach);
    daemon.announce("ATTACH", events);
    daemon.script("STATUS", statuses);
    daemon.script("SIGNAL_POLL", polls);
    QElapsedTimer timer;
    timer.start();
    ChildProcess tool(tool_command(QStringLiteral(VANTREL_WIFI_BINARY), arguments),
                      wifi_environment(daemon.path(), {QStringLiteral("VANTREL_WIFI_FOLLOW_INTERVAL_MS=%1").arg(interval)}),
                      reader == Reader::StopsTaking ? ChildProcess::Output::Socket : ChildProcess::Output::Pipe);
    while (reader == Reader::Late && daemon.requests().count("STATUS") < 4 && timer.elapsed() < hang_limit_ms(800))
        QTest::qWait(10);
    QByteArray records;
    tool.read_output(records, out.size(), hang_limit_ms(2500));
    // Nothing more while the answers stay the same: never one record twice.
    tool.read_output(records, out.size() + 1, reader == Reader::Stays || reader == Reader::Late ? 600 : 0);
    QCOMPARE(records, out);
    if (reader == Reader::Leaves)
        tool.close_output();
    else if (reader == Reader::StopsTaking)
        tool.shut_output();
    else
        ::kill(tool.pid(), SIGTERM);
    const qint64 pid = tool.pid();
    QByteArray rest, err;
    // At once, or at the next tick's record for a reader that stopped taking them.
    const bool left = reader == Reader::Leaves || reader == Reader::StopsTaking;
    QCOMPARE(tool.finish(rest, err, hang_limit_ms(200)), left ? 0 : 143);
    QTEST(err, "err");
    QCOMPARE(leftover_sockets(pid), QStringList());
    const QList<QByteArray> requests = daemon.requests();
    // New sockets only when the daemon was gone, and a pause between ticks.
    QCOMPARE(requests.count("ATTACH"), attach.size());
    QVERIFY2(requests.count("STATUS") <= timer.elapsed() / interval + 2, qPrintable(QString::number(requests.count("STATUS"))));
    QVERIFY(arguments.contains(QStringLiteral("--json")) || !requests.contains("SIGNAL_POLL"));
    QCOMPARE(requests.contains("DETACH"), attach.last() == "OK\n" && events.isEmpty());
}

// Of the CA folder's files, forget removes the one that only the forgotten
// profiles named: one another profile names stays, and so does one none names.
void NetworkActionsTest::forgets_a_ca_no_profile_names()
{
    const QTemporaryDir folder;
    for (const char* name : {"a.pem", "b.pem", "c.pem"}) {
        QFile file(folder.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const auto named = [&folder](const char* name) { return '"' + folder.filePath(QLatin1String(name)).toUtf8() + '"'; };
    FakeDaemon daemon;
    daemon.keep_profiles("network id / ssid / bssid / flags\n0\tCorp\tany\t\n1\tOther\tany\t\n2\tCorp\tany\t\n");
    daemon.reply("GET_NETWORK 0 ca_cert", named("a.pem"));
    daemon.reply("GET_NETWORK 1 ca_cert", named("b.pem"));
    daemon.reply("GET_NETWORK 2 ca_cert", named("b.pem"));
    daemon.reply("SAVE_CONFIG", "OK\n");
    const ToolRun run = run_wifi(wifi_environment(daemon.path(), {QStringLiteral("VANTREL_WIFI_CA_DIR=") + folder.path()}),
                                 words("forget --yes Corp"));
    QCOMPARE(run.out, QByteArray("Forgot Corp.\n"));
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files), (QStringList{QStringLiteral("b.pem"), QStringLiteral("c.pem")}));
}

QTEST_GUILESS_MAIN(NetworkActionsTest)
#include "network_actions_test.moc"
