#include "support/fake_daemon.h"
#include "support/tool_run.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <map>

namespace {

using Replies = QList<QByteArray>;
using Answers = QList<FakeDaemon::Reply>;
using Script = std::map<QByteArray, Answers>;

const QByteArray scan_results =
    "bssid / frequency / signal level / flags / ssid\n"
    "aa:00:00:00:00:01\t2462\t-45\t[WPA2-PSK-CCMP][ESS]\tHome\n"
    "aa:00:00:00:00:02\t2437\t-70\t[WPA2-PSK-CCMP][ESS]\tOffice\n"
    "aa:00:00:00:00:03\t2412\t-50\t[ESS]\tLobby\n"
    "aa:00:00:00:00:04\t2412\t-55\t[WPA2-PSK-CCMP][ESS]\tSecure\n"
    "aa:00:00:00:00:05\t2412\t-60\t[WPA2-EAP-SUITE-B-192-GCMP-256][ESS]\tCorp\n"
    "aa:00:00:00:00:06\t2412\t-65\t[ESS]\tCaf\\xc3\\xa9\n"
    "aa:00:00:00:00:07\t2412\t-75\t[WPA2-SAE-CCMP][ESS]\tModern\n"
    "aa:00:00:00:00:08\t2412\t-80\t[WPA2-EAP-CCMP][ESS]\tCampus\n"
    "aa:00:00:00:00:09\t2412\t-85\t[WPA2-EAP-SHA256-CCMP][ESS]\tStrict\n";
const QByteArray saved_profiles =
    "network id / ssid / bssid / flags\n"
    "0\tHome\tany\t[CURRENT]\n"
    "1\tOffice\tany\t\n"
    "2\tAttic\tany\t[DISABLED]\n";
const QByteArray menu =
    "1. * Home  [WPA personal, -45 dBm, saved]\n"
    "2.   Office  [WPA personal, -70 dBm, saved]\n"
    "3.   Attic  [unsupported, saved, saved]\n"
    "4.   Lobby  [open, -50 dBm]\n"
    "5.   Secure  [WPA personal, -55 dBm]\n"
    "6.   Corp  [unsupported, -60 dBm]\n"
    "7.   Caf\xc3\xa9  [open, -65 dBm]\n"
    "8.   Modern  [WPA personal, -75 dBm]\n"
    "9.   Campus  [WPA enterprise, -80 dBm]\n"
    "10.   Strict  [WPA enterprise, -85 dBm]\n";

// The daemon's table as the tool found it, and with the profile a join adds.
const QByteArray as_saved = "0 Home [CURRENT]|1 Office |2 Attic [DISABLED]|";

QByteArray joined(const QByteArray& escaped_ssid)
{
    return as_saved + "3 " + escaped_ssid + " |";
}

QByteArray completed(const QByteArray& escaped_ssid)
{
    return "wpa_state=COMPLETED\nssid=" + escaped_ssid + "\nip_address=10.0.0.7\n";
}

// A daemon that knows the networks above, is connected to Home, accepts
// every request of a join, and associates with whatever is selected next.
Script daemon_script(const QByteArray& joined)
{
    Script script;
    script["SCAN"] = {"OK\n"};
    script["SCAN_RESULTS"] = {scan_results};
    script["STATUS"] = {"id=0\n" + completed("Home"), completed(joined)};
    script["ADD_NETWORK"] = {"3\n"};
    script["ATTACH"] = {"OK\n"};
    for (const char* request : {"SELECT_NETWORK 0", "SELECT_NETWORK 1", "SELECT_NETWORK 2", "SELECT_NETWORK 3", "ENABLE_NETWORK 3",
                                "SET_NETWORK 3 key_mgmt NONE", "SET_NETWORK 3 key_mgmt WPA-PSK", "SAVE_CONFIG",
                                "REMOVE_NETWORK 3", "ENABLE_NETWORK 0 no-connect", "ENABLE_NETWORK 1 no-connect",
                                "SET_NETWORK 3 key_mgmt SAE", "SET_NETWORK 3 ieee80211w 2", "SET_NETWORK 3 scan_ssid 1",
                                "REMOVE_NETWORK 1", "SET_NETWORK 3 priority 5"})
        script[request] = {"OK\n"};
    for (const char* name : {"Lobby", "Secure", "Caf\xc3\xa9", "Office", "Modern"})
        script["SET_NETWORK 3 ssid " + QByteArray(name).toHex()] = {"OK\n"};
    return script;
}

Script with(Script script, const QByteArray& request, const Answers& replies)
{
    script[request] = replies;
    return script;
}

QByteArray psk(const QByteArray& password)
{
    return "SET_NETWORK 3 psk \"" + password + '"';
}

const Replies scanning = {"SCAN"};
const Replies add_open = {"ADD_NETWORK", "SET_NETWORK 3 ssid 4c6f626279", "SET_NETWORK 3 key_mgmt NONE",
                          "ENABLE_NETWORK 3"};
const Replies select_new = {"SELECT_NETWORK 3"};
const Replies enable_others = {"ENABLE_NETWORK 0 no-connect", "ENABLE_NETWORK 1 no-connect"};
const Replies remove_new = {"REMOVE_NETWORK 3"};

Replies add_secure(const QByteArray& password)
{
    return {"ADD_NETWORK", "SET_NETWORK 3 ssid 536563757265", "SET_NETWORK 3 key_mgmt WPA-PSK", psk(password),
            "ENABLE_NETWORK 3"};
}

QByteArray sae_password(const QByteArray& password)
{
    return "SET_NETWORK 3 sae_password \"" + password + '"';
}

Replies add_modern(const QByteArray& password)
{
    return {"ADD_NETWORK", "SET_NETWORK 3 ssid 4d6f6465726e", "SET_NETWORK 3 key_mgmt SAE",
            "SET_NETWORK 3 ieee80211w 2", sae_password(password), "ENABLE_NETWORK 3"};
}

const QByteArray capability = "GET_CAPABILITY key_mgmt strict";

// An enterprise join's words, the CA a file of the source tree.
QStringList enterprise(const char* line)
{
    return words(line) << QStringLiteral("--ca-cert") << QStringLiteral(VANTREL_SOURCE_DIR "/tests/data/ca.pem");
}

// Its profile fields after the name: WPA3-Enterprise alone (Strict) requires protected management frames.
Replies add_enterprise(const QByteArray& ssid, const QByteArray& password,
                       const QByteArray& ca = "\"" VANTREL_SOURCE_DIR "/tests/data/ca.pem\"")
{
    const bool strict = ssid == "Strict";
    return {"ADD_NETWORK", "SET_NETWORK 3 ssid " + ssid.toHex(),
            strict ? "SET_NETWORK 3 key_mgmt WPA-EAP-SHA256" : "SET_NETWORK 3 key_mgmt WPA-EAP WPA-EAP-SHA256",
            strict ? "SET_NETWORK 3 ieee80211w 2" : "SET_NETWORK 3 ieee80211w 1", "SET_NETWORK 3 eap PEAP",
            "SET_NETWORK 3 identity " + QByteArray("alice@example.org").toHex(),
            "SET_NETWORK 3 anonymous_identity " + QByteArray("anonymous@example.org").toHex(),
            "SET_NETWORK 3 password " + password.toHex(), "SET_NETWORK 3 phase2 \"auth=MSCHAPV2\"",
            "SET_NETWORK 3 ca_cert " + ca,
            "SET_NETWORK 3 domain_suffix_match \"example.org\"", "ENABLE_NETWORK 3"};
}

// The daemon with the tool's table, or "<profiles>", and `script`; "<events>"
// are sent once a socket attaches.
void load(FakeDaemon& daemon, const Script& script)
{
    const auto profiles = script.find("<profiles>");
    daemon.keep_profiles(profiles == script.end() ? saved_profiles : *profiles->second.first());
    for (const auto& [request, replies] : script) {
        if (request == "<profiles>")
            continue;
        if (request != "<events>") {
            daemon.script(request, replies);
            continue;
        }
        QList<FakeDaemon::Event> events(replies.size());
        for (qsizetype at = 0; at < replies.size(); ++at)
            events[at].text = replies.at(at).value_or(QByteArray());
        daemon.announce("ATTACH", events);
    }
}

QStringList arguments_of(std::initializer_list<const char*> list)
{
    QStringList result;
    for (const char* word : list)
        result.append(QString::fromUtf8(word));
    return result;
}

} // namespace

class ConnectTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void connects_data();
    void connects();
    void picks_data();
    void picks();
    void keeps_changes_when_output_fails_data();
    void keeps_changes_when_output_fails();
};

void ConnectTest::connects_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<Script>("script");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<Replies>("requests"); // those that change the daemon
    QTest::addColumn<QByteArray>("profiles"); // the daemon's table afterwards
    const QByteArray none;
    const QStringList defaults;
    const QStringList one_second = {QStringLiteral("VANTREL_WIFI_CONNECT_TIMEOUT_MS=1000")};
    const QStringList no_wait = {QStringLiteral("VANTREL_WIFI_CONNECT_TIMEOUT_MS=0")};
    const QByteArray error = "vantrel-wifi: ";

    QTest::newRow("saved network, stdin not read, others enabled again")
        << words("connect Office --password-stdin") << QByteArray("never read\n") << defaults
        << daemon_script("Office") << QByteArray("Connected to Office.\n") << none
        << Replies{"SELECT_NETWORK 1", "ENABLE_NETWORK 0 no-connect"} << as_saved;
    QTest::newRow("saved network, --json, --open adds nothing")
        << words("--json connect --open Office") << none << defaults << daemon_script("Office")
        << QByteArray("{\"ok\":true}\n") << none
        << Replies{"SELECT_NETWORK 1", "ENABLE_NETWORK 0 no-connect"} << as_saved;
    QTest::newRow("the current network is selected again")
        << words("connect Home") << none << defaults << daemon_script("Home") << QByteArray("Connected to Home.\n")
        << none << Replies{"SELECT_NETWORK 0", "ENABLE_NETWORK 1 no-connect"} << as_saved;
    QTest::newRow("saved, select refused")
        << words("connect Office") << none << defaults << with(daemon_script("Office"), "SELECT_NETWORK 1", {"FAIL\n"})
        << none << error + "Could not select saved Wi-Fi network: FAIL\n"
        << Replies{"SELECT_NETWORK 1"} << as_saved;
    QTest::newRow("saved, time-out keeps the selection, enables the others again")
        << words("connect Office") << none << one_second << daemon_script("Elsewhere") << none
        << error + "Timed out connecting to Office.\n"
        << Replies{"SELECT_NETWORK 1", "ENABLE_NETWORK 0 no-connect"} << as_saved;
    QTest::newRow("saved and disabled, time-out: disabled again")
        << words("connect Attic") << none << one_second << daemon_script("Elsewhere") << none
        << error + "Timed out connecting to Attic.\n"
        << Replies{"SELECT_NETWORK 2"} + enable_others + Replies{"DISABLE_NETWORK 2"} << as_saved;
    QTest::newRow("saved, another client replaced a profile meanwhile: left alone")
        << words("connect Office") << none << defaults
        << with(daemon_script("Office"), "LIST_NETWORKS",
                {saved_profiles, saved_profiles, "network id\n0\tGuest\tany\t[DISABLED]\n1\tOffice\tany\t[CURRENT]\n"})
        << QByteArray("Connected to Office.\n") << none
        << Replies{"SELECT_NETWORK 1"} << QByteArray("0 Home [CURRENT][DISABLED]|1 Office |2 Attic [DISABLED]|");
    QTest::newRow("saved, no wait") << words("connect Office") << none << no_wait << daemon_script("Elsewhere")
                                    << QByteArray("Connected to Office.\n") << none
                                    << Replies{"SELECT_NETWORK 1", "ENABLE_NETWORK 0 no-connect"} << as_saved;

    QTest::newRow("new open network") << words("connect --open Lobby") << none << defaults << daemon_script("Lobby")
                                      << QByteArray("Connected to Lobby.\n") << none
                                      << add_open + select_new + enable_others
                                             + Replies{"SAVE_CONFIG"} << joined("Lobby");
    QTest::newRow("new open network with a name the daemon escapes")
        << arguments_of({"connect", "--open", "Caf\xc3\xa9"}) << none << defaults
        << daemon_script("Caf\\xc3\\xa9") << QByteArray("Connected to Caf\xc3\xa9.\n") << none
        << Replies{"ADD_NETWORK", "SET_NETWORK 3 ssid 436166c3a9", "SET_NETWORK 3 key_mgmt NONE", "ENABLE_NETWORK 3"}
            + select_new + enable_others + Replies{"SAVE_CONFIG"} << joined("Caf\\xc3\\xa9");
    QTest::newRow("new open network whose name is not UTF-8: its bytes")
        << QStringList{QStringLiteral("connect"), QStringLiteral("--open"), raw_word("lat\xe9")} << none << defaults
        << with(with(daemon_script("lat\\xe9"), "SCAN_RESULTS", {scan_results + "aa:07\t2412\t-70\t[ESS]\tlat\\xe9\n"}),
                "SET_NETWORK 3 ssid 6c6174e9", {"OK\n"})
        << QByteArray("Connected to lat\\xe9.\n") << none
        << Replies{"ADD_NETWORK", "SET_NETWORK 3 ssid 6c6174e9", "SET_NETWORK 3 key_mgmt NONE", "ENABLE_NETWORK 3"}
            + select_new + enable_others + Replies{"SAVE_CONFIG"} << joined("lat\\xe9");
    QTest::newRow("new WPA network, password bytes that are not UTF-8")
        << words("connect --password-stdin Secure") << QByteArray("pass\xff\xfeword\n") << defaults
        << with(daemon_script("Secure"), psk("pass\xff\xfeword"), {"OK\n"}) << QByteArray("Connected to Secure.\n")
        << none << add_secure("pass\xff\xfeword") + select_new + enable_others
            + Replies{"SAVE_CONFIG"} << joined("Secure");
    QTest::newRow("new WPA network, password unchanged")
        << words("connect --password-stdin Secure") << QByteArray("my \"pass\\word\xc3\xa9\n") << defaults
        << with(daemon_script("Secure"), psk("my \"pass\\word\xc3\xa9"), {"OK\n"})
        << QByteArray("Connected to Secure.\n") << none
        << add_secure("my \"pass\\word\xc3\xa9") + select_new + enable_others
            + Replies{"SAVE_CONFIG"} << joined("Secure");
    QTest::newRow("new WPA network, --json, last line without newline")
        << words("connect --password-stdin Secure --json") << QByteArray("12345678") << defaults
        << with(daemon_script("Secure"), psk("12345678"), {"OK\n"}) << QByteArray("{\"ok\":true}\n") << none
        << add_secure("12345678") + select_new + enable_others + Replies{"SAVE_CONFIG"} << joined("Secure");
    QTest::newRow("the wait needs COMPLETED and the name")
        << words("connect --open Lobby") << none << defaults
        << with(daemon_script("Lobby"), "STATUS",
                {completed("Home"), completed("Other"), "wpa_state=ASSOCIATING\nssid=Lobby\n",
                 "wpa_state=completed\nssid=Lobby\n", completed("Lobby")})
        << QByteArray("Connected to Lobby.\n") << none
        << add_open + select_new + enable_others
            + Replies{"SAVE_CONFIG"} << joined("Lobby");
    QTest::newRow("no wait: saved without a status")
        << words("connect --open Lobby") << none << no_wait << daemon_script("Lobby")
        << QByteArray("Connected to Lobby.\n") << none
        << add_open + select_new + enable_others + Replies{"SAVE_CONFIG"} << joined("Lobby");
    for (const char* value : {"-5", "soon"}) {
        QTest::addRow("wait override %s: the default", value)
            << words("connect --open Lobby") << none
            << QStringList{QStringLiteral("VANTREL_WIFI_CONNECT_TIMEOUT_MS=") + QString::fromUtf8(value)}
            << daemon_script("Lobby") << QByteArray("Connected to Lobby.\n") << none
            << add_open + select_new + enable_others + Replies{"SAVE_CONFIG"} << joined("Lobby");
    }

    QTest::newRow("WPA3 alone: SAE after the adapter's word")
        << words("connect --password-stdin Modern") << QByteArray("p\n") << defaults
        << with(with(daemon_script("Modern"), capability, {"NONE WPA-PSK SAE"}), sae_password("p"), {"OK\n"})
        << QByteArray("Connected to Modern.\n") << none
        << add_modern("p") + select_new + enable_others
            + Replies{"SAVE_CONFIG"} << joined("Modern");
    QTest::newRow("WPA3 alone, an adapter that cannot tell: joined")
        << words("connect --password-stdin Modern") << QByteArray(128, 'p') + '\n' << no_wait
        << with(with(daemon_script("Modern"), capability, {"FAIL\n"}), sae_password(QByteArray(128, 'p')), {"OK\n"})
        << QByteArray("Connected to Modern.\n") << none
        << add_modern(QByteArray(128, 'p')) + select_new + enable_others
            + Replies{"SAVE_CONFIG"} << joined("Modern");
    // FT-SAE alone is fast roaming, not WPA3 itself.
    for (const char* reply : {"NONE WPA-PSK IEEE8021X", "NONE WPA-PSK FT-SAE"}) {
        QTest::addRow("WPA3 alone, an adapter with %s: no change", reply)
            << words("connect --password-stdin Modern") << QByteArray("password\n") << defaults
            << with(daemon_script("Modern"), capability, {reply}) << none
            << error + "This Wi-Fi adapter does not support WPA3.\n" << Replies{} << as_saved;
    }
    QTest::newRow("WPA3 password of 129 bytes")
        << words("connect --password-stdin Modern") << QByteArray(129, 'p') + '\n' << defaults
        << daemon_script("Modern") << none << error + "A WPA3 password must contain 1 to 128 bytes.\n"
        << Replies{} << as_saved;
    const Replies directed = {"SCAN ssid 48696464656e"};
    const Script hidden = with(with(daemon_script("Hidden"), directed.first(), {"OK\n"}), "SCAN_RESULTS",
                               {scan_results + "aa:08\t2412\t-50\t[ESS]\tHidden\n"});
    QTest::newRow("hidden: a directed scan, then scan_ssid")
        << words("connect --hidden --open Hidden") << none << defaults
        << with(hidden, "SET_NETWORK 3 ssid 48696464656e", {"OK\n"}) << QByteArray("Connected to Hidden.\n") << none
        << directed
            + Replies{"ADD_NETWORK", "SET_NETWORK 3 ssid 48696464656e", "SET_NETWORK 3 key_mgmt NONE",
                      "SET_NETWORK 3 scan_ssid 1", "ENABLE_NETWORK 3"}
            + select_new + enable_others + Replies{"SAVE_CONFIG"} << joined("Hidden");
    QTest::newRow("hidden, busy twice: looked up all the same")
        << words("connect --hidden --open Nowhere") << none << defaults
        << with(daemon_script(""), "SCAN ssid 4e6f7768657265", {"FAIL-BUSY\n"}) << none
        << error + "Could not find a network named Nowhere.\n"
        << Replies{"SCAN ssid 4e6f7768657265", "SCAN ssid 4e6f7768657265"} << as_saved;
    QTest::newRow("hidden, scan refused") << words("connect --hidden --open Hidden") << none << defaults
                                          << with(hidden, directed.first(), {"FAIL\n"}) << none
                                          << error + "Could not start Wi-Fi scan: FAIL\n" << directed << as_saved;
    QTest::newRow("hidden and saved: selected") << words("connect --hidden Office") << none << defaults
        << with(daemon_script("Office"), "SCAN ssid 4f6666696365", {"OK\n"}) << QByteArray("Connected to Office.\n")
        << none
        << Replies{"SCAN ssid 4f6666696365"}
            + Replies{"SELECT_NETWORK 1", "ENABLE_NETWORK 0 no-connect"} << as_saved;

    const Script office = with(with(with(daemon_script("Office"), "GET_NETWORK 1 priority", {"5"}), psk("newpass12"),
                                    {"OK\n"}), "SET_NETWORK 3 ssid 4f6666696365", {"OK\n"});
    const Replies replace_office = {"ADD_NETWORK", "SET_NETWORK 3 ssid 4f6666696365", "SET_NETWORK 3 key_mgmt WPA-PSK",
                                    psk("newpass12"), "SET_NETWORK 3 priority 5", "ENABLE_NETWORK 3"};
    QTest::newRow("password: the new profile replaces the old once joined")
        << words("password --json Office") << QByteArray("newpass12\n") << no_wait << office
        << QByteArray("{\"ok\":true}\n") << none
        << replace_office + select_new + enable_others
            + Replies{"REMOVE_NETWORK 1", "SAVE_CONFIG"}
            << QByteArray("0 Home [CURRENT]|2 Attic [DISABLED]|3 Office |");
    QTest::newRow("password: old removal refused, all undone")
        << words("password Office") << QByteArray("newpass12\n") << defaults
        << with(office, "REMOVE_NETWORK 1", {"FAIL\n"}) << none << error + "Could not remove Wi-Fi network: FAIL\n"
        << replace_office + select_new + enable_others
            + Replies{"REMOVE_NETWORK 1"} + remove_new << as_saved;
    QTest::newRow("password: save refused after the removal, the new profile kept")
        << words("password Office") << QByteArray("newpass12\n") << defaults
        << with(office, "SAVE_CONFIG", {"FAIL\n"}) << none << error + "Could not save Wi-Fi network: FAIL\n"
        << replace_office + select_new + enable_others
            + Replies{"REMOVE_NETWORK 1", "SAVE_CONFIG"}
            << QByteArray("0 Home [CURRENT]|2 Attic [DISABLED]|3 Office |");
    QTest::newRow("password of a network not saved") << words("password Lobby") << QByteArray("x\n") << defaults
                                                     << daemon_script("") << none
                                                     << error + "Lobby is not a saved network.\n" << Replies{}
                                                     << as_saved;
    QTest::newRow("password of a saved network out of range") << words("password Attic") << none << defaults
        << daemon_script("") << none << error + "Network was not found. Run vantrel-wifi list first.\n" << Replies{}
        << as_saved;
    QTest::newRow("not found") << words("connect Nowhere") << none << defaults << daemon_script("")
                               << none << error + "Network was not found. Run vantrel-wifi list first.\n" << Replies{}
                               << as_saved;
    QTest::newRow("letter case differs") << words("connect --open lobby") << none << defaults << daemon_script("")
                                         << none << error + "Network was not found. Run vantrel-wifi list first.\n"
                                         << Replies{} << as_saved;
    QTest::newRow("new network without a choice")
        << words("connect Lobby") << none << defaults << daemon_script("") << none
        << error + "Use --password-stdin so the password does not enter shell history, or --open for an open network.\n"
        << Replies{} << as_saved;
    QTest::newRow("no password to read") << words("connect --password-stdin Secure") << none << defaults
                                         << daemon_script("") << none << error + "Could not read input.\n" << Replies{}
                                         << as_saved;
    QTest::newRow("empty password") << words("connect --password-stdin Secure") << QByteArray("\n") << defaults
                                    << daemon_script("") << none
                                    << error + "A WPA password must contain 8 to 63 UTF-8 bytes.\n" << Replies{}
                                    << as_saved;
    QTest::newRow("7 bytes") << words("connect --password-stdin Secure") << QByteArray("1234567\n") << defaults
                             << daemon_script("") << none
                             << error + "A WPA password must contain 8 to 63 UTF-8 bytes.\n" << Replies{} << as_saved;
    QTest::newRow("64 bytes, a raw key") << words("connect --password-stdin Secure") << QByteArray(64, 'a') + '\n'
                                         << defaults << daemon_script("") << none
                                         << error + "A WPA password must contain 8 to 63 UTF-8 bytes.\n" << Replies{}
                                         << as_saved;
    QTest::newRow("63 bytes") << words("connect --password-stdin Secure") << QByteArray(63, 'a') + '\n' << no_wait
                              << with(daemon_script("Secure"), psk(QByteArray(63, 'a')), {"OK\n"})
                              << QByteArray("Connected to Secure.\n") << none
                              << add_secure(QByteArray(63, 'a')) + select_new + enable_others
                                     + Replies{"SAVE_CONFIG"} << joined("Secure");
    QTest::newRow("7 letters, 8 bytes") << words("connect --password-stdin Secure") << QByteArray("abcde\xc3\xa9z\n")
                                        << no_wait << with(daemon_script("Secure"), psk("abcde\xc3\xa9z"), {"OK\n"})
                                        << QByteArray("Connected to Secure.\n") << none
                                        << add_secure("abcde\xc3\xa9z") + select_new + enable_others
                                               + Replies{"SAVE_CONFIG"} << joined("Secure");
    QTest::newRow("CR LF line: refused after the profile exists")
        << words("connect --password-stdin Secure") << QByteArray("12345678\r\n") << defaults << daemon_script("Secure")
        << none << error + "Wi-Fi passwords cannot contain NUL or newline characters.\n"
        << add_secure("12345678").mid(0, 3) + remove_new << as_saved;

    QTest::newRow("add refused: nothing to remove")
        << words("connect --open Lobby") << none << defaults << with(daemon_script("Lobby"), "ADD_NETWORK", {"FAIL\n"})
        << none << error + "wpa_supplicant did not create a network profile.\n" << Replies{"ADD_NETWORK"} << as_saved;
    const QByteArray unnamed = saved_profiles + "3\t\tany\t[DISABLED]\n";
    QTest::newRow("add unanswered: the one new unnamed profile removed")
        << words("connect --open Lobby") << none << defaults
        << with(with(daemon_script("Lobby"), "ADD_NETWORK", {std::nullopt}), "LIST_NETWORKS",
                {saved_profiles, saved_profiles, unnamed})
        << none << error + "Timed out waiting for wpa_supplicant.\n" << add_open.mid(0, 1) + remove_new << as_saved;
    QTest::newRow("add unanswered, another client adding too: none removed")
        << words("connect --open Lobby") << none << defaults
        << with(with(daemon_script("Lobby"), "ADD_NETWORK", {std::nullopt}), "LIST_NETWORKS",
                {saved_profiles, saved_profiles, unnamed + "4\t\tany\t[DISABLED]\n"})
        << none << error + "Timed out waiting for wpa_supplicant.\n"
        << add_open.mid(0, 1) << as_saved;
    QTest::newRow("add answered with a negative id")
        << words("connect --open Lobby") << none << defaults << with(daemon_script("Lobby"), "ADD_NETWORK", {"-1\n"})
        << none << error + "wpa_supplicant did not create a network profile.\n" << Replies{"ADD_NETWORK"} << as_saved;
    QTest::newRow("name refused") << words("connect --open Lobby") << none << defaults
                                  << with(daemon_script("Lobby"), "SET_NETWORK 3 ssid 4c6f626279", {"FAIL\n"}) << none
                                  << error + "Could not set Wi-Fi network name: FAIL\n"
                                  << add_open.mid(0, 2) + remove_new << as_saved;
    QTest::newRow("open security refused")
        << words("connect --open Lobby") << none << defaults
        << with(daemon_script("Lobby"), "SET_NETWORK 3 key_mgmt NONE", {"FAIL\n"}) << none
        << error + "Could not set open-network security: FAIL\n"
        << add_open.mid(0, 3) + remove_new << as_saved;
    QTest::newRow("WPA security refused")
        << words("connect --password-stdin Secure") << QByteArray("12345678\n") << defaults
        << with(daemon_script("Secure"), "SET_NETWORK 3 key_mgmt WPA-PSK", {"FAIL\n"}) << none
        << error + "Could not set WPA security: FAIL\n"
        << add_secure("12345678").mid(0, 3) + remove_new << as_saved;
    QTest::newRow("password refused") << words("connect --password-stdin Secure") << QByteArray("12345678\n")
                                      << defaults << with(daemon_script("Secure"), psk("12345678"), {"FAIL\n"}) << none
                                      << error + "Could not set WPA password: FAIL\n"
                                      << add_secure("12345678").mid(0, 4) + remove_new << as_saved;
    QTest::newRow("enable refused") << words("connect --open Lobby") << none << defaults
                                    << with(daemon_script("Lobby"), "ENABLE_NETWORK 3", {"FAIL\n"}) << none
                                    << error + "Could not enable Wi-Fi network: FAIL\n"
                                    << add_open + remove_new << as_saved;
    QTest::newRow("no profile table before the select: removed, nothing selected")
        << words("connect --open Lobby") << none << defaults << with(daemon_script("Lobby"), "LIST_NETWORKS",
                                                                    {saved_profiles, saved_profiles, "FAIL\n", saved_profiles + "3\tLobby\tany\t\n"})
        << none << error + "Could not list saved Wi-Fi networks: FAIL\n"
        << add_open + remove_new << as_saved;
    QTest::newRow("select refused: others were never disabled")
        << words("connect --open Lobby") << none << defaults << with(daemon_script("Lobby"), "SELECT_NETWORK 3", {"FAIL\n"})
        << none << error + "Could not select Wi-Fi network: FAIL\n"
        << add_open + select_new + remove_new << as_saved;
    QTest::newRow("time-out: removed, others enabled again")
        << words("connect --open Lobby") << none << one_second
        << with(daemon_script("Lobby"), "STATUS", {completed("Elsewhere")}) << none
        << error + "Timed out connecting to Lobby.\n"
        << add_open + select_new + enable_others + Replies{"REMOVE_NETWORK 3"} << as_saved;
    QTest::newRow("save refused after the association")
        << words("connect --open Lobby") << none << defaults << with(daemon_script("Lobby"), "SAVE_CONFIG", {"FAIL\n"})
        << none << error + "Could not save Wi-Fi network: FAIL\n"
        << add_open + select_new + enable_others
            + Replies{"SAVE_CONFIG"} + remove_new << as_saved;
    QTest::newRow("re-enable refused: nothing is saved, all undone")
        << words("connect --open Lobby") << none << defaults
        << with(daemon_script("Lobby"), "ENABLE_NETWORK 0 no-connect", {"FAIL\n"}) << none
        << error + "Could not re-enable saved Wi-Fi network: FAIL\n"
        << add_open + select_new + Replies{"ENABLE_NETWORK 0 no-connect"} + enable_others
            + Replies{"REMOVE_NETWORK 3"} << QByteArray("0 Home [CURRENT][DISABLED]|1 Office |2 Attic [DISABLED]|");
    QTest::newRow("transport failure after the add")
        << words("connect --open Lobby") << none << defaults
        << with(daemon_script("Lobby"), "SET_NETWORK 3 key_mgmt NONE", {std::nullopt}) << none
        << error + "Timed out waiting for wpa_supplicant.\n"
        << add_open.mid(0, 3) + remove_new << as_saved;
    QTest::newRow("undo goes on after a lost reply")
        << words("connect --open Lobby") << none << one_second
        << with(with(daemon_script("Lobby"), "STATUS", {completed("Elsewhere")}), "ENABLE_NETWORK 0 no-connect",
                {std::nullopt})
        << none << error + "Timed out connecting to Lobby.\n"
        << add_open + select_new + enable_others + Replies{"REMOVE_NETWORK 3"}
        << QByteArray("0 Home [CURRENT][DISABLED]|1 Office |2 Attic [DISABLED]|");
    QTest::newRow("undo stops after two lost replies in a row")
        << words("connect --open Lobby") << none << one_second
        << with(with(with(daemon_script("Lobby"), "STATUS", {completed("Elsewhere")}), "ENABLE_NETWORK 0 no-connect",
                     {std::nullopt}), "ENABLE_NETWORK 1 no-connect", {std::nullopt})
        << none << error + "Timed out connecting to Lobby.\n"
        << add_open + select_new + enable_others
        << QByteArray("0 Home [CURRENT][DISABLED]|1 Office [DISABLED]|2 Attic [DISABLED]|3 Lobby |");
    const QByteArray with_lobby = saved_profiles + "3\tLobby\tany\t\n";
    QTest::newRow("undo goes on after lost replies that are not in a row")
        << words("connect --open Lobby") << none << one_second
        << with(with(with(daemon_script("Lobby"), "STATUS", {completed("Elsewhere")}), "ENABLE_NETWORK 0 no-connect",
                     {std::nullopt}),
                "LIST_NETWORKS", {saved_profiles, saved_profiles, with_lobby, std::nullopt, with_lobby})
        << none << error + "Timed out connecting to Lobby.\n"
        << add_open + select_new + enable_others + Replies{"REMOVE_NETWORK 3"}
        << QByteArray("0 Home [CURRENT][DISABLED]|1 Office |2 Attic [DISABLED]|");
    const char* peap = "connect --eap peap --identity alice@example.org --domain example.org --password-stdin ";
    // A TLS key of the run's own, private as keys must be: a PKCS#12 bundle begins so.
    static const QTemporaryDir keys;
    const QString key = keys.filePath(QStringLiteral("key.p12"));
    QFile bundle(key);
    QVERIFY(bundle.open(QIODevice::WriteOnly) && bundle.write("\x30") == 1
            && bundle.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    bundle.close();
    QTest::newRow("enterprise, WPA3 alone: SHA-256, protection required, password bytes in hex")
        << enterprise((QByteArray(peap) + "Strict").constData()) << QByteArray("p\"w d\\\xc3\xbc\n") << defaults
        << daemon_script("Strict") << QByteArray("Connected to Strict.\n") << none
        << add_enterprise("Strict", "p\"w d\\\xc3\xbc") + select_new + enable_others + Replies{"SAVE_CONFIG"}
        << joined("Strict");
    // What the daemon says while it waits ends the wait at once; a stranger's text is shown escaped.
    // (A refused password is met by the real authenticator's rows.)
    const QByteArray associated = "wpa_state=ASSOCIATED\nssid=Campus\n";
    const QList<std::pair<const char*, QByteArray>> events = {
        {"<3>CTRL-EVENT-EAP-TLS-CERT-ERROR reason=1 depth=0 subject='/CN=evil\x1b[2J' it's' err='self-signed certificate'",
         "Could not verify the network's server: self-signed certificate (it presented /CN=evil\\x1b[2J' it's)."},
        {"<3>EAP: Failed to initialize EAP method: vendor 0 method 25 (PEAP)",
         "wpa_supplicant could not start PEAP; can it read " VANTREL_SOURCE_DIR "/tests/data/ca.pem?"},
    };
    for (const auto& [event, message] : events) {
        QTest::addRow("enterprise, %.40s: undone", event)
            << enterprise((QByteArray(peap) + "Campus").constData()) << QByteArray("pw\n") << defaults
            << with(with(daemon_script("Campus"), "STATUS", {"id=0\n" + completed("Home"), associated}), "<events>",
                    {"<3>CTRL-EVENT-EAP-STARTED EAP authentication started", QByteArray(event)})
            << none << error + message + '\n' << add_enterprise("Campus", "pw") + select_new + enable_others + remove_new
            << as_saved;
    }
    // A key's passphrase of 256 bytes is taken; the daemon asking for one is the key's failure.
    QTest::newRow("TLS, the daemon asks for the passphrase: the key's message")
        << (enterprise("connect --eap tls --identity a --domain example.org --password-stdin Campus")
            << QStringLiteral("--private-key") << key)
        << QByteArray(256, 'k') + '\n' << defaults
        << with(with(daemon_script("Campus"), "STATUS", {"id=0\n" + completed("Home"), associated}), "<events>",
                {"<3>CTRL-REQ-PASSPHRASE-0:Private key passphrase needed for SSID Campus"})
        << none << error + "wpa_supplicant could not use the private key " + key.toUtf8()
                    + "; check its passphrase and that the daemon can read it.\n"
        << Replies{"ADD_NETWORK", "SET_NETWORK 3 ssid 43616d707573", "SET_NETWORK 3 key_mgmt WPA-EAP WPA-EAP-SHA256",
                   "SET_NETWORK 3 ieee80211w 1", "SET_NETWORK 3 eap TLS", "SET_NETWORK 3 identity 61",
                   "SET_NETWORK 3 private_key \"" + key.toUtf8() + '"',
                   "SET_NETWORK 3 private_key_passwd " + QByteArray(256, 'k').toHex(),
                   "SET_NETWORK 3 ca_cert \"" VANTREL_SOURCE_DIR "/tests/data/ca.pem\"",
                   "SET_NETWORK 3 domain_suffix_match \"example.org\"", "ENABLE_NETWORK 3"}
            + select_new + enable_others + remove_new
        << as_saved;
    const QList<std::pair<QStringList, QByteArray>> refused = {
        {enterprise("connect --eap peap --identity a --domain example.org --password-stdin Office"),
         "Office is already saved; forget it first to join it with other settings."},
        {words("connect --identity a --password-stdin Secure"), "Secure is not an enterprise network."},
        {words("connect --eap peap --identity a --password-stdin Campus"),
         "Joining an enterprise network needs --eap, --identity, --domain and --password-stdin."},
        {words("connect --password-stdin Campus"),
         "Joining an enterprise network needs --eap, --identity, --domain and --password-stdin."},
        {enterprise("connect --eap ttls --phase2 pap --identity a --domain example.org --password-stdin Campus"),
         "This wpa_supplicant cannot do TTLS."},
        {enterprise("connect --eap tls --identity a --password-stdin Campus") << QStringLiteral("--private-key") << key,
         "Joining with a certificate needs --eap tls, --identity, --domain and --private-key."},
        {enterprise("connect --eap tls --identity a --domain example.org Campus") << QStringLiteral("--private-key") << key,
         "This wpa_supplicant cannot do TLS."},
    };
    for (const auto& [arguments, message] : refused) {
        QTest::addRow("refused before any change: %s", message.constData())
            << arguments << QByteArray("pw\n") << defaults
            << with(daemon_script("Campus"), "GET_CAPABILITY eap", {"MD5 MSCHAPV2 PEAP AKA AKA'"}) << none
            << error + message + '\n' << Replies{} << as_saved;
    }
    // An EAP and an EAP-SHA256 network is not WPA3 alone; the longest password is taken.
    QTest::newRow("enterprise, EAP beside EAP-SHA256: protection where the adapter can")
        << enterprise((QByteArray(peap) + "Mixed").constData()) << QByteArray(256, 'p') + '\n' << defaults
        << with(daemon_script("Mixed"), "SCAN_RESULTS", {scan_results + "aa:0a\t2412\t-60\t[WPA2-EAP+EAP-SHA256-CCMP][ESS]\tMixed\n"})
        << QByteArray("Connected to Mixed.\n") << none
        << add_enterprise("Mixed", QByteArray(256, 'p')) + select_new + enable_others + Replies{"SAVE_CONFIG"}
        << joined("Mixed");
    QTest::newRow("a pinned server: lower case, without colons")
        << (words("connect --eap peap --identity alice@example.org --domain example.org --password-stdin Campus")
            << QStringLiteral("--server-cert") << QStringLiteral("D1:03:").repeated(16).chopped(1))
        << QByteArray("pw\n") << defaults << daemon_script("Campus") << QByteArray("Connected to Campus.\n") << none
        << add_enterprise("Campus", "pw", "\"hash://server/sha256/" + QByteArray("d103").repeated(16) + '"')
            + select_new + enable_others + Replies{"SAVE_CONFIG"}
        << joined("Campus");
    // The realm is what follows the last "@"; the names come from the air, shown escaped, the
    // server's own only and each once; the probe ends at its own verdict, not at another error.
    const Answers probe = {"<3>CTRL-EVENT-EAP-PEER-CERT depth=1 subject='/CN=Root' hash=AB12",
                 "<3>CTRL-EVENT-EAP-PEER-ALT depth=1 DNS:ca.example.org",
                 "<3>CTRL-EVENT-EAP-TLS-CERT-ERROR reason=1 depth=1 subject='/CN=Root' err='unable to get issuer'",
                 "<3>CTRL-EVENT-EAP-PEER-CERT depth=0 subject='/CN=evil\x1b[2J' hash=cd34",
                 "<3>CTRL-EVENT-EAP-PEER-CERT depth=0 subject='/CN=evil\x1b[2J' cert=3082",
                 "<3>CTRL-EVENT-EAP-PEER-CERT depth=1 subject='/CN=Root' hash=ab12",
                 "<3>CTRL-EVENT-EAP-PEER-ALT depth=0 DNS:my $host.example.org",
                 "<3>CTRL-EVENT-EAP-PEER-ALT depth=0 DNS:radius.example.org",
                 "<3>CTRL-EVENT-EAP-PEER-ALT depth=0 DNS:radius.example.org",
                 "<3>CTRL-EVENT-EAP-TLS-CERT-ERROR reason=8 depth=0 subject='/CN=evil' err='Server certificate chain probe'"};
    const QByteArray alone = "Trusting it trusts this server certificate alone, which must be trusted again when it is "
                             "renewed; compare its sha256 with the one your organisation publishes.\n";
    const QByteArray chain = "Server of Campus: my $host.example.org, radius.example.org\n  certificate  /CN=evil\\x1b[2J\n"
                             "  sha256       cd34\n  issued by    /CN=Root\n  sha256       ab12\n" + alone;
    // The certificates themselves, as the daemon passes them on: a CA and its server's, one expired.
    const auto told = [](const char* file, int at, const char* subject, const char* hash) {
        QFile pem(QStringLiteral(VANTREL_SOURCE_DIR "/tests/data/") + QLatin1String(file));
        const QByteArray text = pem.open(QIODevice::ReadOnly) ? pem.readAll() : QByteArray();
        QByteArrayList blocks = text.split('-');
        blocks.removeIf([](const QByteArray& block) { return !block.trimmed().startsWith("MII"); });
        const QByteArray base64 = blocks.value(at);
        const QByteArray event = "<3>CTRL-EVENT-EAP-PEER-CERT depth=" + QByteArray::number(at) + " subject='" + subject + '\'';
        return Answers{event + " hash=" + hash, event + " cert=" + QByteArray::fromBase64(base64).toHex()};
    };
    const char* server_subject = "/C=XX/O=Vantrel Test/CN=radius.example.org";
    const char* root = "/C=XX/O=Vantrel Test/CN=Vantrel Test Root CA";
    const Answers verdict = {probe.last()};
    const Answers certificates = told("chain.pem", 1, root, "ab12") + told("chain.pem", 0, server_subject, "cd34") + verdict;
    const Answers expired = told("chain.pem", 1, root, "ab12") + told("expired.pem", 0, server_subject, "cd34") + verdict;
    const auto read = [root](const char* until, const char* state) {
        return "Server of Campus: radius.example.org, *.example.org\n  certificate  /C=XX/O=Vantrel Test/CN=radius.example.org\n"
               "  issuer       " + QByteArray(root) + "\n  valid        2026-12-10 to " + until + state + "\n  sha256       cd34\n"
               "  issued by    " + root + "\n  valid until  2126-11-16, self-signed\n  sha256       ab12\n";
    };
    // The probe's requests with its outer identity, then its undoing.
    const auto probed = [](const QByteArray& outer) {
        return Replies{"ADD_NETWORK", "SET_NETWORK 3 ssid 43616d707573", "SET_NETWORK 3 key_mgmt WPA-EAP WPA-EAP-SHA256",
                       "SET_NETWORK 3 ieee80211w 1", "SET_NETWORK 3 eap PEAP TTLS", "SET_NETWORK 3 identity " + outer.toHex(),
                       "SET_NETWORK 3 ca_cert \"probe://\"", "ENABLE_NETWORK 3", "SELECT_NETWORK 3"}
            + enable_others + remove_new;
    };
    // Campus saved (id 5), its server pinned to another certificate.
    const Script saved_campus = with(with(with(daemon_script("Campus"), "<profiles>",
                                               {saved_profiles + "5\tCampus\tany\t[DISABLED]\n"}),
                                          "GET_NETWORK 5 key_mgmt", {"WPA-EAP"}),
                                     "GET_NETWORK 5 ca_cert", {"\"hash://server/sha256/" + QByteArray("aa").repeated(32) + '"'});
    const QStringList spaced = {QStringLiteral("--identity"), QStringLiteral("x y@example.org")};
    const struct {
        const char* name;
        QStringList arguments;
        Script script;
        QByteArray out;
        QByteArray err;
        Replies requests;
        QByteArray profiles = as_saved;
    } servers[] = {
        {"server: the chain shown, the probe undone", words("server Campus") + spaced,
         with(daemon_script("Campus"), "<events>", probe),
         chain + "To trust it: vantrel-wifi connect --eap METHOD --identity 'x y@example.org' "
                 "--domain 'my $host.example.org' --server-cert cd34 --password-stdin Campus\n",
         none, probed("anonymous@example.org")},
        {"server --json: the chain shown, the probe undone", words("server --json Campus") + spaced,
         with(daemon_script("Campus"), "<events>", probe),
         "{\"chain\":[{\"depth\":0,\"sha256\":\"cd34\",\"subject\":\"/CN=evil\\u001b[2J\"},{\"depth\":1,"
         "\"sha256\":\"ab12\",\"subject\":\"/CN=Root\"}],\"names\":[\"my $host.example.org\",\"radius.example.org\"],"
         "\"ssid\":\"Campus\",\"trusts\":\"certificate\"}\n",
         none, probed("anonymous@example.org")},
        {"server, the certificates read: the CA, and the method named", words("server --eap ttls Campus"),
         with(daemon_script("Campus"), "<events>", certificates),
         read("2126-11-16", "") + "Trusting it trusts the CA " + root + ", which vouches for the server's next "
             "certificates too; compare the CA's sha256 with the one your organisation publishes.\nTo trust it: "
             "vantrel-wifi connect --eap ttls --identity NAME --domain radius.example.org --ca-cert FILE --password-stdin "
             "Campus\n",
         none, probed("anonymous")},
        {"server --json, the certificates read", words("server --json Campus"),
         with(daemon_script("Campus"), "<events>", certificates),
         "{\"chain\":[{\"depth\":0,\"issuer\":\"" + QByteArray(root) + "\",\"not_after\":\"2126-11-16T15:32:35Z\","
         "\"not_before\":\"2026-12-10T15:32:35Z\",\"self_signed\":false,\"sha256\":\"cd34\",\"subject\":\""
             + server_subject + "\"},{\"depth\":1,\"issuer\":\"" + root + "\",\"not_after\":\"2126-11-16T15:32:35Z\","
         "\"not_before\":\"2026-12-10T15:32:35Z\",\"self_signed\":true,\"sha256\":\"ab12\",\"subject\":\"" + root
             + "\"}],\"names\":[],\"ssid\":\"Campus\",\"trusts\":\"ca\"}\n",
         none, probed("anonymous")},
        {"server: an expired certificate is not offered", words("server Campus"),
         with(daemon_script("Campus"), "<events>", expired),
         read("2026-12-09", ", expired") + "A certificate is past its validity or not valid yet: it is not offered for "
                                           "trust.\n",
         none, probed("anonymous")},
        {"server of a saved network: its check, and trust", words("server Campus"),
         with(saved_campus, "<events>", probe),
         "The check saved for Campus does not take this server: it trusts the certificate with sha256 "
             + QByteArray("aa").repeated(32) + ".\n" + chain + "To trust it: vantrel-wifi trust Campus --server-cert cd34\n",
         none, probed("anonymous"), as_saved + "5 Campus [DISABLED]|"},
        {"server of WPA3-Enterprise alone: protection required", words("server Strict"), daemon_script("Strict"), none,
         error + "The network's server did not show a certificate.\n",
         Replies{"ADD_NETWORK", "SET_NETWORK 3 ssid 537472696374", "SET_NETWORK 3 key_mgmt WPA-EAP-SHA256",
                 "SET_NETWORK 3 ieee80211w 2", "SET_NETWORK 3 eap PEAP TTLS",
                 "SET_NETWORK 3 identity " + QByteArray("anonymous").toHex(), "SET_NETWORK 3 ca_cert \"probe://\"",
                 "ENABLE_NETWORK 3", "SELECT_NETWORK 3"} + enable_others + remove_new},
        {"server of a network that is not enterprise", words("server Secure"), daemon_script("Secure"), none,
         error + "Secure is not an enterprise network.\n", Replies{}},
    };
    for (const auto& row : servers) {
        const bool wait = !QByteArray(row.name).contains("Strict") && !QByteArray(row.name).contains("WPA3");
        QTest::newRow(row.name) << row.arguments << none << (wait ? defaults : no_wait) << row.script << row.out
                                << row.err << row.requests << row.profiles;
    }
    QTest::newRow("enterprise without a CA bundle: no change")
        << words("connect --eap peap --identity a --domain example.org --password-stdin Campus") << QByteArray("pw\n")
        << QStringList{QStringLiteral("VANTREL_CA_BUNDLE=/nonexistent/bundle.crt")} << daemon_script("Campus") << none
        << error + "No CA bundle at /nonexistent/bundle.crt; give a CA certificate with connect --ca-cert FILE.\n"
        << Replies{} << as_saved;
    for (const QByteArray& password : {QByteArray("\n"), QByteArray(257, 'p') + '\n', QByteArray("pw\r\n")}) {
        QTest::addRow("enterprise password of %d bytes: no change", int(password.size() - 1))
            << enterprise((QByteArray(peap) + "Campus").constData()) << password << defaults << daemon_script("Campus")
            << none
            << error + (password.contains('\r') ? "Wi-Fi passwords cannot contain NUL or newline characters.\n"
                                                 : "An enterprise password must contain 1 to 256 bytes.\n")
            << Replies{} << as_saved;
    }
    QTest::newRow("removal refused: the first failure stands")
        << words("connect --open Lobby") << none << defaults
        << with(with(daemon_script("Lobby"), "ENABLE_NETWORK 3", {"FAIL\n"}), "REMOVE_NETWORK 3", {"FAIL\n"}) << none
        << error + "Could not enable Wi-Fi network: FAIL\n" << add_open + remove_new
        << QByteArray("0 Home [CURRENT]|1 Office |2 Attic [DISABLED]|3 Lobby [DISABLED]|");
}

void ConnectTest::connects()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QStringList, settings);
    QFETCH(Script, script);
    QFETCH(QByteArray, err);
    FakeDaemon daemon;
    load(daemon, script);
    const ToolRun run = run_wifi(wifi_environment(daemon.path(), settings), arguments, input);
    QTEST(run.out, "out");
    QCOMPARE(run.err, err);
    QCOMPARE(run.status, err.isEmpty() ? 0 : 1);
    QTEST(changing(daemon.requests()), "requests");
    QTEST(daemon.profiles(), "profiles");
    QCOMPARE(leftover_sockets(run.pid), QStringList());
}

void ConnectTest::picks_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<Script>("script");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("status");
    QTest::addColumn<Replies>("requests");
    QTest::addColumn<QByteArray>("profiles");
    const QByteArray prompt = "Network number: ";
    const QByteArray invalid = prompt + "vantrel-wifi: Invalid network number.\n";

    QTest::newRow("current entry") << QByteArray("1\n") << daemon_script("Home") << menu + "Already connected.\n"
                                   << prompt << 0 << scanning << as_saved;
    QTest::newRow("current entry whose link is not up: joined")
        << QByteArray("1\n")
        << with(daemon_script("Home"), "STATUS", {"id=0\nwpa_state=ASSOCIATED\nssid=Home\n", completed("Home")})
        << menu + "Connected to Home.\n" << prompt << 0
        << scanning + Replies{"SELECT_NETWORK 0", "ENABLE_NETWORK 1 no-connect"} << as_saved;
    QTest::newRow("WPA3 entry: the adapter asked before the password")
        << QByteArray("8\nsecret\n") << with(with(daemon_script("Modern"), capability, {"SAE"}), sae_password("secret"), {"OK\n"})
        << menu + "Connected to Modern.\n" << prompt + "Wi-Fi password: " << 0
        << scanning + add_modern("secret") + select_new + enable_others
            + Replies{"SAVE_CONFIG"} << joined("Modern");
    QTest::newRow("saved entry") << QByteArray("2\n") << daemon_script("Office") << menu + "Connected to Office.\n"
                                 << prompt << 0
                                 << scanning + Replies{"SELECT_NETWORK 1", "ENABLE_NETWORK 0 no-connect"} << as_saved;
    QTest::newRow("saved entry of an unsupported kind")
        << QByteArray("3\n") << daemon_script("Attic") << menu + "Connected to Attic.\n" << prompt << 0
        << scanning + Replies{"SELECT_NETWORK 2", "ENABLE_NETWORK 0 no-connect", "ENABLE_NETWORK 1 no-connect",
                              "SET_NETWORK 2 disabled 1"}
        << QByteArray("0 Home [CURRENT]|1 Office |2 Attic [DISABLED]|");
    QTest::newRow("new open entry, no password asked")
        << QByteArray("4\n") << daemon_script("Lobby") << menu + "Connected to Lobby.\n" << prompt << 0
        << scanning + add_open + select_new + enable_others + Replies{"SAVE_CONFIG"} << joined("Lobby");
    QTest::newRow("new WPA entry, password asked")
        << QByteArray("5\nsecret123\n") << with(daemon_script("Secure"), psk("secret123"), {"OK\n"})
        << menu + "Connected to Secure.\n" << prompt + "Wi-Fi password: " << 0
        << scanning + add_secure("secret123") + select_new + enable_others + Replies{"SAVE_CONFIG"} << joined("Secure");
    QTest::newRow("new WPA entry, short password")
        << QByteArray("5\nshort\n") << daemon_script("Secure") << menu
        << prompt + "Wi-Fi password: vantrel-wifi: A WPA password must contain 8 to 63 UTF-8 bytes.\n" << 1 << scanning
        << as_saved;
    QTest::newRow("unsupported entry") << QByteArray("6\n") << daemon_script("Corp") << menu
                                       << prompt + "vantrel-wifi: Vantrel does not configure WEP, OWE or 192-bit enterprise networks yet.\n"
                                       << 1 << scanning << as_saved;
    QTest::newRow("last entry") << QByteArray("7\n") << daemon_script("Caf\\xc3\\xa9")
                                << menu + "Connected to Caf\xc3\xa9.\n" << prompt << 0
                                << scanning
                                       + Replies{"ADD_NETWORK", "SET_NETWORK 3 ssid 436166c3a9",
                                                 "SET_NETWORK 3 key_mgmt NONE", "ENABLE_NETWORK 3"}
                                       + select_new + enable_others + Replies{"SAVE_CONFIG"} << joined("Caf\\xc3\\xa9");
    for (const char* answer : {"0", "-1", "11", "abc", "", "1x"})
        QTest::addRow("answer '%s'", answer) << QByteArray(answer) + '\n' << daemon_script("") << menu << invalid << 1
                                             << scanning << as_saved;
    QTest::newRow("end of input") << QByteArray() << daemon_script("") << menu
                                  << prompt + "vantrel-wifi: Could not read input.\n" << 1 << scanning << as_saved;
    QTest::newRow("empty scan: no prompt")
        << QByteArray("1\n") << with(with(daemon_script(""), "SCAN_RESULTS", {""}), "LIST_NETWORKS", {""})
        << QByteArray() << QByteArray("vantrel-wifi: No Wi-Fi networks found.\n") << 1 << scanning << as_saved;
    QTest::newRow("a name with NUL is whole in a failure")
        << QByteArray("1\n")
        << with(with(with(daemon_script(""), "SCAN_RESULTS", {""}), "LIST_NETWORKS", {"network id\n0\ta\\x00b\tany\t\n"}),
                "STATUS", {"wpa_state=SCANNING\n"})
        << QByteArray("1.   a\\x00b  [unsupported, saved, saved]\n")
        << prompt + "vantrel-wifi: Timed out connecting to a\\x00b.\n" << 1
        << scanning + Replies{"SELECT_NETWORK 0"}
        << QByteArray("0 Home [CURRENT]|1 Office [DISABLED]|2 Attic [DISABLED]|");
    QTest::newRow("a server the bundle does not know, off a terminal: no question")
        << QByteArray("9\nalice@example.org\nexample.org\npw\n")
        << with(with(daemon_script("Campus"), "STATUS", {"id=0\n" + completed("Home"), "wpa_state=ASSOCIATED\n"}),
                "<events>",
                {"<3>CTRL-EVENT-EAP-PEER-CERT depth=0 subject='/CN=radius' hash=cd34",
                 "<3>CTRL-EVENT-EAP-TLS-CERT-ERROR reason=1 depth=1 subject='/CN=Root' err='self-signed certificate'"})
        << menu << prompt + "Identity: Server domain: Wi-Fi password: vantrel-wifi: Could not verify the network's "
                            "server: self-signed certificate (it presented /CN=Root).\n"
        << 1 << scanning + add_enterprise("Campus", "pw") + select_new + enable_others + remove_new << as_saved;
    QTest::newRow("scan refused: no menu, no prompt")
        << QByteArray("1\n") << with(daemon_script(""), "SCAN", {"FAIL\n"}) << QByteArray()
        << QByteArray("vantrel-wifi: Could not start Wi-Fi scan: FAIL\n") << 1 << Replies{"SCAN"} << as_saved;
}

void ConnectTest::picks()
{
    QFETCH(QByteArray, input);
    QFETCH(Script, script);
    FakeDaemon daemon;
    load(daemon, script);
    const ToolRun run = run_wifi(wifi_environment(daemon.path(), {QStringLiteral("VANTREL_WIFI_SCAN_DELAY_MS=0"),
                                                                  QStringLiteral("VANTREL_CA_BUNDLE=" VANTREL_SOURCE_DIR
                                                                                 "/tests/data/ca.pem"),
                                                                  QStringLiteral("VANTREL_WIFI_CONNECT_TIMEOUT_MS=1000")}),
                                 words("pick --json"), input);
    QTEST(run.out, "out");
    QTEST(run.err, "err");
    QTEST(run.status, "status");
    QTEST(changing(daemon.requests()), "requests");
    QTEST(daemon.profiles(), "profiles");
}

void ConnectTest::keeps_changes_when_output_fails_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("shell"); // runs the tool as "$@"
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<Replies>("requests");
    const QString full = QStringLiteral("exec \"$@\" >/dev/full");
    const QByteArray no_space = "vantrel-wifi: Could not write output: No space left on device\n";
    QTest::newRow("status") << words("status") << full << no_space << Replies{"STATUS"};
    QTest::newRow("a saved network stays saved")
        << words("connect --open Lobby") << full << no_space
        << add_open + select_new + enable_others + Replies{"SAVE_CONFIG"};
    QTest::newRow("a write cut short by the file size limit: the rest fails")
        << words("list --cached --json")
        << QStringLiteral("trap '' XFSZ; out=$(mktemp); ulimit -f 1; \"$@\" >\"$out\"; status=$?; rm \"$out\"; exit $status")
        << QByteArray("vantrel-wifi: Could not write output: File too large\n")
        << Replies{"SCAN_RESULTS", "LIST_NETWORKS", "STATUS"};
    QTest::newRow("standard input and output closed: nothing written elsewhere")
        << words("status") << QStringLiteral("exec \"$@\" <&- >&-")
        << QByteArray("vantrel-wifi: Could not write output: Bad file descriptor\n") << Replies{"STATUS"};
    QTest::newRow("standard output closed: not the application's descriptor")
        << words("status") << QStringLiteral("exec \"$@\" >&-")
        << QByteArray("vantrel-wifi: Could not write output: Bad file descriptor\n") << Replies{"STATUS"};
    QTest::newRow("standard error closed too: the status stands") << words("status")
                                                                   << QStringLiteral("exec \"$@\" >/dev/full 2>&-")
                                                                   << QByteArray() << Replies{"STATUS"};
}

void ConnectTest::keeps_changes_when_output_fails()
{
    QFETCH(QStringList, arguments);
    FakeDaemon daemon;
    daemon.keep_profiles(saved_profiles);
    for (const auto& [request, replies] : daemon_script("Lobby"))
        daemon.script(request, replies);
    QFETCH(QString, shell);
    const QStringList redirected = {QStringLiteral("/bin/sh"), QStringLiteral("-c"), shell, QStringLiteral("sh")};
    const ToolRun run = run_command(redirected + tool_command(QStringLiteral(VANTREL_WIFI_BINARY), arguments),
                                    wifi_environment(daemon.path()));
    QTEST(run.err, "err");
    QCOMPARE(run.status, 1);
    // A run that changes nothing is compared by what it read.
    QFETCH(Replies, requests);
    QCOMPARE(changing(requests).isEmpty() ? daemon.requests() : changing(daemon.requests()), requests);
}

QTEST_GUILESS_MAIN(ConnectTest)
#include "connect_test.moc"
