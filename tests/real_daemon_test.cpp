#include "support/child_process.h"
#include "support/fake_daemon.h"
#include "support/real_daemon.h"
#include "support/terminal_run.h"
#include "support/tool_run.h"

#include "vtl/wifi.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <tuple>

#include <functional>
#include <memory>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using vtl::wifi::Client;
using vtl::wifi::Credentials;

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

using Fault = FakeDaemon::Fault;

// Home, Office and Attic as above, then Faraway, a disabled WPA network that never joins.
const QByteArray four_profiles =
    saved_profiles + "network={\n\tssid=\"Faraway\"\n\tpsk=\"password1\"\n\tkey_mgmt=WPA-PSK\n\tdisabled=1\n}\n";
const QByteArray new_networks = "bssid / frequency / signal level / flags / ssid\n"
                                "02:00:00:00:00:01\t2412\t-40\t[ESS]\tLobby\n"
                                "02:00:00:00:00:02\t2437\t-50\t[WPA2-PSK-CCMP][ESS]\tSecure\n"
                                "02:00:00:00:00:03\t2462\t-60\t[WPA2-EAP-CCMP][ESS]\tCampus\n";

// One run of the tool and the requests it makes without a fault. Faults are
// tried at each request from the first change on, the undo's own included,
// except refusals there: a daemon that refuses to undo cannot be repaired.
struct Sequence {
    const char* name;
    const char* arguments;
    QByteArray input;
    const char* timeout;
    QByteArrayList requests;
    int first_change;
    int undo_from; // where a failing run's undo begins; past the end for one that succeeds
    QByteArrayList added; // the profile that success saves, if any
    QByteArray from = four_profiles; // the daemon's file to begin with
    QByteArray to = QByteArray();    // what success saves in place of it, when it changes a saved profile
};

enum class Outcome { Before, After, Either };

// The fault rows run in shards side by side: VANTREL_TEST_SHARD=k/n keeps
// every n-th row from the k-th; each other test runs in one shard, by its name.
struct Shard {
    int index = 0;
    int count = 1;
    Shard()
    {
        const QByteArrayList parts = qgetenv("VANTREL_TEST_SHARD").split('/');
        if (parts.size() == 2 && parts.at(1).toInt() > 0) {
            index = parts.at(0).toInt();
            count = parts.at(1).toInt();
        }
    }
    bool keeps(int row) const { return row % count == index; }
    bool runs(const char* test) const
    {
        int sum = 0;
        for (const char* c = test; *c; ++c)
            sum += *c;
        return keeps(sum);
    }
};

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

namespace {

// A real 802.1X authenticator: hostapd's own EAP server on one end of a veth
// pair in a network namespace of its own, with a CA and a server certificate
// for radius.example.org made here. The impostor has the same server name
// under another CA, and knows no password. The genuine CA also signs a
// renewed server certificate, one already expired, and an issuing CA whose
// server sends its own certificate and that CA's, not the root.
class Authenticator {
public:
    Authenticator()
        : name_(QStringLiteral("vtl%1").arg(::getpid())), namespace_(name_ + QStringLiteral("-eap"))
    {
        const QString work = directory_.path();
        const char* const script = R"rig(set -e
cd "$1"
served() { # name, signing CA, days, CA file of the chain sent, users, organisation
    openssl req -newkey rsa:2048 -nodes -subj "/C=XX/O=$6/CN=radius.example.org" -keyout $1.key -out $1.csr
    openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -days $3 -extfile san.cnf -out $1.pem
    printf 'interface=%s\ndriver=wired\nieee8021x=1\neapol_version=2\neap_server=1\neap_user_file=%s\nca_cert=%s\nserver_cert=%s\nprivate_key=%s\nctrl_interface=%s\n' \
        "$ifname" "$PWD/$5.users" "$PWD/$4" "$PWD/$1.pem" "$PWD/$1.key" "$PWD/$1-ctrl" > $1.conf
}
certificate() { # name, organisation
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/C=XX/O=$2/CN=$2 Root CA" -keyout $1-ca.key -out $1-ca.pem
    served $1 $1-ca 2 $1-ca.pem $1 "$2"
}
ifname=$2b
printf 'subjectAltName=DNS:radius.example.org\n' > san.cnf
certificate genuine "Vantrel Test"
certificate impostor "Evil Twin Ltd"
served renewed genuine-ca 2 genuine-ca.pem genuine "Vantrel Test"
served expired genuine-ca -1 genuine-ca.pem genuine "Vantrel Test"
openssl req -newkey rsa:2048 -nodes -subj "/C=XX/O=Vantrel Test/CN=Vantrel Test Issuing CA" -keyout issuing-ca.key -out issuing-ca.csr
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign,cRLSign\n' > ca.cnf
openssl x509 -req -in issuing-ca.csr -CA genuine-ca.pem -CAkey genuine-ca.key -CAcreateserial -days 2 -extfile ca.cnf -out issuing-ca.pem
served issued issuing-ca 2 issuing-ca.pem genuine "Vantrel Test"
for name in genuine genuine-ca impostor renewed expired issued issuing-ca; do
    openssl x509 -in $name.pem -outform der | sha256sum | cut -c1-64 > $name.sha256
    for edge in start end; do
        date -u -d "$(openssl x509 -in $name.pem -noout -${edge}date | cut -d= -f2)" +%F > $name.$edge
    done
done
client() { # name, CA: dave's certificate, its key encrypted
    openssl req -newkey rsa:2048 -passout pass:key-pass-4 -subj "/C=XX/O=$2/CN=dave@example.org" -keyout $1.key -out $1.csr
    printf 'extendedKeyUsage=clientAuth\n' > client.cnf
    openssl x509 -req -in $1.csr -CA $2-ca.pem -CAkey $2-ca.key -CAcreateserial -days 2 -extfile client.cnf -out $1.pem
}
client dave genuine
client mallory impostor
openssl pkcs12 -export -in dave.pem -inkey dave.key -passin pass:key-pass-4 -passout pass:key-pass-4 -out dave.p12
chmod 600 dave.key mallory.key dave.p12
cp dave.key open.key
chmod 644 open.key
printf '"dave" TLS\n* PEAP,TTLS\n"alice" MSCHAPV2 "alice-pass-1" [2]\n"alice@example.org" MSCHAPV2 "alice-pass-1" [2]\n"bob" TTLS-PAP "bob-pass-2" [2]\n' > genuine.users
printf '* PEAP,TTLS\n' > impostor.users
ip netns add "$3"
ip link add "$2a" type veth peer name "$2b"
ip link set "$2b" netns "$3"
ip link set "$2a" up
ip netns exec "$3" ip link set "$2b" up
)rig";
        const ToolRun setup = run_command({system_program("bash"), QStringLiteral("-c"), QString::fromLatin1(script),
                                           QStringLiteral("rig"), work, name_, namespace_},
                                          clean_environment());
        if (setup.status != 0)
            problem_ = QStringLiteral("the authenticator could not be set up: ") + QString::fromUtf8(setup.err);
    }
    ~Authenticator()
    {
        stop();
        run_command({system_program("ip"), QStringLiteral("link"), QStringLiteral("del"), interface()}, clean_environment());
        run_command({system_program("ip"), QStringLiteral("netns"), QStringLiteral("del"), namespace_}, clean_environment());
    }

    QString problem() const { return problem_; }
    QString interface() const { return name_ + QLatin1Char('a'); }
    QString file(const QString& name) const { return directory_.filePath(name); }

    // Starts hostapd afresh (after a failed attempt it ignores the station for 5 s).
    QString serve(const QString& who)
    {
        stop();
        QFile::remove(file(who + QStringLiteral(".log")));
        hostapd_ = std::make_unique<ChildProcess>(
            QStringList{system_program("ip"), QStringLiteral("netns"), QStringLiteral("exec"), namespace_, system_program("hostapd"),
                        QStringLiteral("-ddK"), QStringLiteral("-f"), file(who + QStringLiteral(".log")),
                        file(who + QStringLiteral(".conf"))},
            clean_environment());
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 10000) {
            if (QFile::exists(file(who + QStringLiteral("-ctrl/")) + name_ + QLatin1Char('b')))
                return QString();
            QThread::msleep(50);
        }
        return QStringLiteral("hostapd did not start");
    }
    void stop()
    {
        if (!hostapd_)
            return;
        hostapd_->stop();
        hostapd_.reset();
        // Its control socket goes with it; the next one must not be mistaken for it.
        for (const QString& control : QDir(directory_.path()).entryList({QStringLiteral("*-ctrl")}, QDir::Dirs))
            QDir(file(control)).removeRecursively();
    }

private:
    QTemporaryDir directory_;
    QString name_;
    QString namespace_;
    QString problem_;
    std::unique_ptr<ChildProcess> hostapd_;
};

const QByteArray enterprise_scan = "bssid / frequency / signal level / flags / ssid\n"
                           "02:00:00:00:00:07\t2412\t-40\t[WPA2-EAP-CCMP][ESS]\tCorp\n";

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
    void tells_look_alikes_apart();
    void keeps_all_or_nothing_data();
    void keeps_all_or_nothing();
    void init();
    void reads_long_tables_data();
    void reads_long_tables();
    void works_beside_a_proxy_data();
    void works_beside_a_proxy();
    void keeps_all_or_nothing_at_random_data();
    void keeps_all_or_nothing_at_random();
    void shares_out_every_row_once();
    void checks_enterprise_servers_data();
    void checks_enterprise_servers();
    void follows_the_link();
    void cleanup();

private:
    std::unique_ptr<Authenticator> authenticator_;
};

void RealDaemonTest::shows_status_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("config"); // its profiles; the first joined before the run
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("text") << QStringList{QStringLiteral("status")} << QByteArray()
                          << QByteArray("State: DISCONNECTED\nNetwork: \nAddress: 127.0.0.1\n");
    QTest::newRow("json") << QStringList{QStringLiteral("status"), QStringLiteral("--json")} << QByteArray()
                          << QByteArray("{\"address\":\"127.0.0.1\",\"saved_id\":-1,\"ssid\":\"\","
                                        "\"state\":\"DISCONNECTED\"}\n");
    // Each kind of saved profile, as the daemon holds them: hidden, ranked, kept off, two of a name.
    const QByteArray kinds =
        "network={\nssid=\"Home\"\nkey_mgmt=NONE\npriority=5\n}\n"
        "network={\nssid=\"Office\"\npsk=\"password1\"\nkey_mgmt=WPA-PSK\nscan_ssid=1\ndisabled=1\n}\n"
        "network={\nssid=\"Modern\"\nsae_password=\"pw\"\nkey_mgmt=SAE\nieee80211w=2\npriority=-3\ndisabled=1\n}\n"
        "network={\nssid=\"Campus\"\nkey_mgmt=WPA-EAP\neap=PEAP\nidentity=\"a\"\npassword=\"p\"\ndisabled=1\n}\n"
        "network={\nssid=\"Corp\"\nkey_mgmt=WPA-EAP\neap=TLS\nidentity=\"d\"\nprivate_key=\"/k\"\ndisabled=1\n}\n"
        "network={\nssid=\"Old\"\nkey_mgmt=NONE\nwep_key0=\"abcde\"\ndisabled=1\n}\n"
        "network={\nssid=436166c3a91b\nkey_mgmt=NONE\ndisabled=1\n}\n"
        "network={\nssid=\"Office\"\nkey_mgmt=NONE\ndisabled=1\n}\n";
    QTest::newRow("saved") << words("saved") << kinds
                           << QByteArray("Name      Security                      Hidden  Priority  Auto-join  In use\n"
                                         "Home      open                          no      5         on         yes\n"
                                         "Office    WPA personal                  yes     0         off        no\n"
                                         "Modern    WPA3 personal                 no      -3        off        no\n"
                                         "Campus    WPA enterprise (PEAP)         no      0         off        no\n"
                                         "Corp      WPA enterprise (certificate)  no      0         off        no\n"
                                         "Old       unsupported                   no      0         off        no\n"
                                         "Caf\xc3\xa9\\x1b  open                          no      0         off        no\n"
                                         "Office    open                          no      0         off        no\n");
    const auto entry = [](int id, const char* ssid, const char* security, bool hidden, int priority, bool current) {
        const auto boolean = [](bool value) { return QByteArray(value ? "true" : "false"); };
        return "{\"autojoin\":" + boolean(current) + ",\"current\":" + boolean(current) + ",\"hidden\":" + boolean(hidden)
            + ",\"priority\":" + QByteArray::number(priority) + ",\"saved_id\":" + QByteArray::number(id)
            + ",\"security\":\"" + security + "\",\"ssid\":\"" + ssid + "\"}";
    };
    QTest::newRow("saved --json") << words("saved --json") << kinds
                                  << "[" + entry(0, "Home", "open", false, 5, true) + ','
                                         + entry(1, "Office", "WPA personal", true, 0, false) + ','
                                         + entry(2, "Modern", "WPA3 personal", false, -3, false) + ','
                                         + entry(3, "Campus", "WPA enterprise (PEAP)", false, 0, false) + ','
                                         + entry(4, "Corp", "WPA enterprise (certificate)", false, 0, false) + ','
                                         + entry(5, "Old", "unsupported", false, 0, false) + ','
                                         + entry(6, "Caf\xc3\xa9\\u001b", "open", false, 0, false) + ','
                                         + entry(7, "Office", "open", false, 0, false) + "]\n";
}

void RealDaemonTest::shows_status()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, config);
    RealDaemon daemon(config);
    const QString problem = daemon.start();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QElapsedTimer timer;
    for (timer.start(); !config.isEmpty() && !daemon.ask("STATUS").contains("wpa_state=COMPLETED");)
        QVERIFY2(timer.elapsed() < hang_limit_ms(0), "the first profile joined");
    const ToolRun run = run_wifi(wifi_environment(daemon.socket_path()), arguments);
    QTEST(run.out, "out");
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
    QCOMPARE(leftover_sockets(run.pid), QStringList());
}

void RealDaemonTest::init()
{
    const char* test = QTest::currentTestFunction();
    // The tables of fault rows are shared out row by row.
    if (!QByteArray(test).startsWith("keeps_all_or_nothing") && !Shard().runs(test))
        QSKIP("run by another shard");
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
    const QByteArray name = "Caf\xc3\xa9";

    client.connect_new(name, Credentials::Open, QByteArray(), 15000);

    const vtl::wifi::Status status = client.status();
    QCOMPARE(status.state, QStringLiteral("COMPLETED"));
    QCOMPARE(status.ssid, QString::fromUtf8(name));
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
    client.connect_new("Secure", Credentials::Psk, "ab\"cd\\ef gh\\", 15000);

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
            client.connect_new("Secure", Credentials::Psk, "12345678", 15000);
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
    // What a later save would write keeps Home enabled, and Office as the daemon held it.
    QCOMPARE(daemon.ask("SAVE_CONFIG"), QByteArray("OK"));
    QCOMPARE(network_blocks(daemon.config()),
             network_blocks(QByteArray(saved_profiles).replace("\"Office\"\n\tkey_mgmt=NONE\n", "\"Office\"\n\tkey_mgmt=NONE\n\tdisabled=1\n")));
}

void RealDaemonTest::tells_look_alikes_apart()
{
    // One profile named by the byte FF, one by the four characters \xff.
    RealDaemon daemon("network={\n\tssid=ff\n\tkey_mgmt=NONE\n\tdisabled=1\n}\n"
                      "network={\n\tssid=\"\\xff\"\n\tkey_mgmt=NONE\n\tdisabled=1\n}\n");
    const QString problem = daemon.start();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const QProcessEnvironment environment = wifi_environment(daemon.socket_path());

    const ToolRun listed = run_wifi(environment, words("list --cached"));
    const ToolRun forgot = run_wifi(environment, {QStringLiteral("forget"), QStringLiteral("--yes"), raw_word("\xff")});

    QCOMPARE(listed.out, QByteArray("1.   \\xff  [unsupported, saved, saved]\n2.   \\xff  [unsupported, saved, saved]\n"));
    QCOMPARE(forgot.out, QByteArray("Forgot \\xff.\n"));
    QCOMPARE(network_blocks(daemon.config()),
             QList<QByteArrayList>{(QByteArrayList{"ssid=\"\\xff\"", "key_mgmt=NONE", "disabled=1"})});
}

void RealDaemonTest::keeps_all_or_nothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<QByteArrayList>("requests");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QList<QByteArrayList>>("after");
    QTest::addColumn<QByteArray>("config"); // the daemon's file to begin with

    const QByteArray pin = QByteArray("5e").repeated(32);
    // A saved enterprise profile, its server check and its flag.
    const QString campus = QStringLiteral("network={\n\tssid=\"Campus\"\n\tkey_mgmt=WPA-EAP\n\teap=PEAP\n\tidentity=\"alice\"\n"
                                          "\tpassword=\"pw\"\n\tca_cert=\"%1\"\n\tdomain_suffix_match=\"example.org\"%2\n}\n");
    const QString off = QStringLiteral("\n\tdisabled=1"); // kept from joining by itself, and so after
    const QByteArrayList listing = {"SCAN_RESULTS", "LIST_NETWORKS", "STATUS", "LIST_NETWORKS"};
    const auto saved_listing = [](int id) {
        return QByteArrayList{"SCAN_RESULTS", "LIST_NETWORKS", "STATUS", "GET_NETWORK " + QByteArray::number(id) + " key_mgmt",
                              "LIST_NETWORKS"};
    };
    const QByteArrayList enable_others = {"LIST_NETWORKS", "ENABLE_NETWORK 0 no-connect", "ENABLE_NETWORK 1 no-connect"};
    const QByteArrayList add_secure = {"ADD_NETWORK", "SET_NETWORK 4 ssid 536563757265", "SET_NETWORK 4 key_mgmt WPA-PSK",
                                       "SET_NETWORK 4 psk \"password1\"", "ENABLE_NETWORK 4", "LIST_NETWORKS",
                                       "SELECT_NETWORK 4"};
    // A TLS key of the run's own, private as keys must be: a PKCS#12 bundle begins so.
    static const QTemporaryDir keys;
    const QByteArray key = keys.filePath(QStringLiteral("dave.p12")).toUtf8();
    QFile bundle(QString::fromUtf8(key));
    QVERIFY(bundle.open(QIODevice::WriteOnly) && bundle.write("\x30\x82") == 2
            && bundle.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    bundle.close();
    const QByteArray tls = "connect --eap tls --identity dave --domain example.org --private-key " + key
        + " --password-stdin Campus --ca-cert " VANTREL_SOURCE_DIR "/tests/data/ca.pem";
    const QByteArray trust = "trust --server-cert " + pin + " Campus";
    const QList<Sequence> sequences = {
        {"new open", "connect --open Lobby", QByteArray(), "3000",
         listing + QByteArrayList{"ADD_NETWORK", "SET_NETWORK 4 ssid 4c6f626279", "SET_NETWORK 4 key_mgmt NONE",
                                  "ENABLE_NETWORK 4", "LIST_NETWORKS", "SELECT_NETWORK 4", "STATUS"}
             + enable_others + QByteArrayList{"SAVE_CONFIG"},
         3, 99, {"ssid=\"Lobby\"", "key_mgmt=NONE"}},
        {"new WPA", "connect --password-stdin Secure", "password1\n", "0",
         listing + add_secure + enable_others + QByteArrayList{"SAVE_CONFIG"},
         3, 99, {"ssid=\"Secure\"", "psk=\"password1\"", "key_mgmt=WPA-PSK"}},
        // A saved profile's key management tells whether its join is watched.
        {"saved switch", "connect Office", QByteArray(), "3000",
         saved_listing(1) + QByteArrayList{"SELECT_NETWORK 1", "STATUS", "LIST_NETWORKS", "ENABLE_NETWORK 0 no-connect"},
         4, 99, {}},
        {"saved time-out, disabled before", "connect Faraway", QByteArray(), "1",
         saved_listing(3) + QByteArrayList{"SELECT_NETWORK 3", "STATUS"} + enable_others + QByteArrayList{"DISABLE_NETWORK 3"},
         4, 7, {}},
        {"new enterprise",
         "connect --eap peap --identity alice --domain example.org --password-stdin Campus --ca-cert " VANTREL_SOURCE_DIR
         "/tests/data/ca.pem",
         "pass\n", "0",
         QByteArrayList{"SCAN_RESULTS", "LIST_NETWORKS", "STATUS", "GET_CAPABILITY eap", "LIST_NETWORKS", "ADD_NETWORK",
                        "ATTACH", "SET_NETWORK 4 ssid 43616d707573", "SET_NETWORK 4 key_mgmt WPA-EAP WPA-EAP-SHA256",
                        "SET_NETWORK 4 ieee80211w 1", "SET_NETWORK 4 eap PEAP", "SET_NETWORK 4 identity 616c696365",
                        "SET_NETWORK 4 password 70617373", "SET_NETWORK 4 phase2 \"auth=MSCHAPV2\"",
                        "SET_NETWORK 4 ca_cert \"" VANTREL_SOURCE_DIR "/tests/data/ca.pem\"",
                        "SET_NETWORK 4 domain_suffix_match \"example.org\"", "ENABLE_NETWORK 4", "LIST_NETWORKS",
                        "SELECT_NETWORK 4"}
             + enable_others + QByteArrayList{"SAVE_CONFIG"},
         5, 99,
         {"ssid=\"Campus\"", "key_mgmt=WPA-EAP WPA-EAP-SHA256", "eap=PEAP", "identity=\"alice\"", "password=\"pass\"",
          "ca_cert=\"" VANTREL_SOURCE_DIR "/tests/data/ca.pem\"", "domain_suffix_match=\"example.org\"",
          "phase2=\"auth=MSCHAPV2\"", "ieee80211w=1"}},
        {"new TLS", tls.constData(), "key\n", "0",
         QByteArrayList{"SCAN_RESULTS", "LIST_NETWORKS", "STATUS", "GET_CAPABILITY eap", "LIST_NETWORKS", "ADD_NETWORK",
                        "ATTACH", "SET_NETWORK 4 ssid 43616d707573", "SET_NETWORK 4 key_mgmt WPA-EAP WPA-EAP-SHA256",
                        "SET_NETWORK 4 ieee80211w 1", "SET_NETWORK 4 eap TLS", "SET_NETWORK 4 identity 64617665",
                        "SET_NETWORK 4 private_key \"" + key + '"', "SET_NETWORK 4 private_key_passwd 6b6579",
                        "SET_NETWORK 4 ca_cert \"" VANTREL_SOURCE_DIR "/tests/data/ca.pem\"",
                        "SET_NETWORK 4 domain_suffix_match \"example.org\"", "ENABLE_NETWORK 4", "LIST_NETWORKS",
                        "SELECT_NETWORK 4"}
             + enable_others + QByteArrayList{"SAVE_CONFIG"},
         5, 99,
         {"ssid=\"Campus\"", "key_mgmt=WPA-EAP WPA-EAP-SHA256", "eap=TLS", "identity=\"dave\"",
          "ca_cert=\"" VANTREL_SOURCE_DIR "/tests/data/ca.pem\"", "private_key=\"" + key + '"',
          "private_key_passwd=\"key\"", "domain_suffix_match=\"example.org\"", "ieee80211w=1"}},
        {"server", "server Campus", QByteArray(), "1",
         QByteArrayList{"SCAN_RESULTS", "LIST_NETWORKS", "STATUS", "LIST_NETWORKS", "ADD_NETWORK", "ATTACH",
                        "SET_NETWORK 4 ssid 43616d707573", "SET_NETWORK 4 key_mgmt WPA-EAP WPA-EAP-SHA256",
                        "SET_NETWORK 4 ieee80211w 1", "SET_NETWORK 4 eap PEAP TTLS",
                        "SET_NETWORK 4 identity 616e6f6e796d6f7573", "SET_NETWORK 4 ca_cert \"probe://\"",
                        "ENABLE_NETWORK 4", "LIST_NETWORKS", "SELECT_NETWORK 4"}
             + enable_others + QByteArrayList{"REMOVE_NETWORK 4"},
         4, 15, {}},
        {"new WPA time-out", "connect --password-stdin Secure", "password1\n", "1",
         listing + add_secure + QByteArrayList{"STATUS"} + enable_others + QByteArrayList{"REMOVE_NETWORK 4"},
         3, 12, {}},
        // The saved enterprise profile's server check, taken anew in place.
        {"trust", trust.constData(), QByteArray(), "0",
         QByteArrayList{"SCAN_RESULTS", "LIST_NETWORKS", "STATUS", "GET_NETWORK 4 key_mgmt", "GET_NETWORK 4 eap",
                        "GET_NETWORK 4 ca_cert", "GET_NETWORK 4 anonymous_identity", "GET_NETWORK 4 private_key",
                        "LIST_NETWORKS", "SET_NETWORK 4 ca_cert \"hash://server/sha256/" + pin + '"', "ATTACH",
                        "LIST_NETWORKS", "SELECT_NETWORK 4"}
             + enable_others + QByteArrayList{"SET_NETWORK 4 disabled 1", "SAVE_CONFIG"},
         8, 99,
         {}, four_profiles + campus.arg(QStringLiteral("/old/ca.pem"), off).toUtf8(),
         four_profiles + campus.arg(QString::fromLatin1("hash://server/sha256/" + pin), off).toUtf8()},
        // Every profile of the name ranked, or kept from joining by itself, in place.
        {"priority", "priority Home 7", QByteArray(), "0",
         QByteArrayList{"LIST_NETWORKS", "GET_NETWORK 0 priority", "SET_NETWORK 0 priority 7", "SAVE_CONFIG"}, 2, 99, {},
         four_profiles, QByteArray(four_profiles).replace("\"Home\"\n\tkey_mgmt=NONE\n", "\"Home\"\n\tkey_mgmt=NONE\n\tpriority=7\n")},
        {"autojoin off", "autojoin off Home", QByteArray(), "0",
         QByteArrayList{"LIST_NETWORKS", "SET_NETWORK 0 disabled 1", "SAVE_CONFIG"}, 1, 99, {}, four_profiles,
         QByteArray(four_profiles).replace("\"Home\"\n\tkey_mgmt=NONE\n", "\"Home\"\n\tkey_mgmt=NONE\n\tdisabled=1\n")},
        // A network kept from joining by itself and joined by hand stays so.
        {"saved and off: joined, still off", "connect Attic", QByteArray(), "3000",
         saved_listing(2) + QByteArrayList{"SELECT_NETWORK 2", "STATUS"} + enable_others
             + QByteArrayList{"SET_NETWORK 2 disabled 1"},
         4, 99, {}},
    };
    const QList<QPair<Fault, const char*>> faults = {
        {Fault::Lose, "reply lost"}, {Fault::Refuse, "refused"}, {Fault::Interrupt, "SIGINT"}, {Fault::Terminate, "SIGTERM"}};
    const Shard shard;
    int row = 0;
    for (const Sequence& sequence : sequences) {
        const QStringList settings = {QStringLiteral("VANTREL_WIFI_CONNECT_TIMEOUT_MS=") + QLatin1String(sequence.timeout)};
        const QByteArray config = sequence.from;
        const QList<QByteArrayList> after = !sequence.to.isEmpty()    ? network_blocks(sequence.to)
            : sequence.added.isEmpty() ? network_blocks(config)
                                       : network_blocks(config) + QList<QByteArrayList>{sequence.added};
        const bool succeeds = sequence.undo_from >= sequence.requests.size();
        if (shard.keeps(row++)) {
            QTest::addRow("%s, no fault", sequence.name)
                << words(sequence.arguments) << sequence.input << settings << Fault::None << QByteArray() << 0
                << sequence.requests << (succeeds ? Outcome::After : Outcome::Before) << after << config;
        }
        for (int at = sequence.first_change; at < sequence.requests.size(); ++at) {
            const QByteArray request = sequence.requests.at(at);
            const bool save = request == "SAVE_CONFIG";
            const bool next_is_save = at + 1 < sequence.requests.size() && sequence.requests.at(at + 1) == "SAVE_CONFIG";
            for (const auto& [fault, label] : faults) {
                if (at >= sequence.undo_from && fault == Fault::Refuse)
                    continue;
                // Every row takes its number, kept here or not, so that the shards share out each once.
                const bool kept = shard.keeps(row++);
                const bool stall_kept = next_is_save && fault == Fault::Terminate && shard.keeps(row++);
                if (stall_kept) {
                    // SAVE_CONFIG that never goes out commits nothing; one that reaches the
                    // queue while it fills is out, and then the run finishes.
                    QTest::addRow("%s, stalled before SAVE_CONFIG", sequence.name)
                        << words(sequence.arguments) << sequence.input << settings << Fault::Stall << request
                        << int(sequence.requests.mid(0, at + 1).count(request)) << QByteArrayList() << Outcome::Either
                        << after << config;
                }
                if (!kept)
                    continue;
                // SAVE_CONFIG is the commit point: once it is out, the change stands. A refused
                // status poll is only polled again; a signal may land in the next exchange.
                Outcome outcome = Outcome::Before;
                if ((save && fault != Fault::Refuse) || (request == "STATUS" && fault == Fault::Refuse && succeeds))
                    outcome = Outcome::After;
                else if (next_is_save && (fault == Fault::Interrupt || fault == Fault::Terminate))
                    outcome = Outcome::Either;
                // Named alike in every process: the key's place is the run's own.
                QTest::addRow("%s, %s at %s", sequence.name, label, QByteArray(request).replace(key, "KEY").constData())
                    << words(sequence.arguments) << sequence.input << settings << fault << request
                    << int(sequence.requests.mid(0, at + 1).count(request)) << QByteArrayList() << outcome << after
                    << config;
            }
        }
    }
}

// Whatever fails or interrupts a run, what the daemon holds, and what its next
// save would write, is what it held before or what success leaves.
void RealDaemonTest::keeps_all_or_nothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QStringList, settings);
    QFETCH(Fault, fault);
    QFETCH(QByteArray, request);
    QFETCH(int, occurrence);
    QFETCH(Outcome, outcome);
    QFETCH(QList<QByteArrayList>, after);
    QFETCH(QByteArray, config);
    RealDaemon daemon(config);
    const QString problem = daemon.start();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const QByteArray file = daemon.config();
    FakeDaemon proxy;
    proxy.reply("SCAN_RESULTS", new_networks);
    proxy.forward_to(daemon.socket_path());
    proxy.inject(fault, request, occurrence);

    const ToolRun run = run_wifi(wifi_environment(proxy.path(), settings), arguments, input);

    QCOMPARE(leftover_sockets(run.pid), QStringList());
    if (fault == Fault::None)
        QTEST(merged_polls(proxy.requests()), "requests");
    const bool untouched = daemon.config() == file;
    // The daemon never saves an unnamed profile: its table shows one that undo left.
    const QByteArray table = daemon.ask("LIST_NETWORKS");
    QVERIFY2(!QRegularExpression(QStringLiteral("\n[0-9]+\t\t")).match(QString::fromUtf8(table)).hasMatch(),
             table.constData());
    QCOMPARE(daemon.ask("SAVE_CONFIG"), QByteArray("OK"));
    const QList<QByteArrayList> blocks = network_blocks(daemon.config());
    const QList<QByteArrayList> before = network_blocks(config);
    // Past the point of no return the run finishes, a signal then held: "after" is a success.
    if (outcome == Outcome::Either)
        QVERIFY((blocks == after && run.status == 0) || (blocks == before && untouched && run.status != 0));
    else if (outcome == Outcome::Before)
        QVERIFY2(blocks == before && untouched, daemon.config().constData());
    else
        QVERIFY2(blocks == after && run.status == 0, run.err.constData());
}

namespace {

// 41 profiles whose escaped names fill the daemon's 4 KiB table after about 30:
// the odd ones disabled, and the last but one a WPA network that never joins.
QByteArray long_name(int id)
{
    return QByteArray("\xc3\xa9").repeated(14) + QByteArray::number(id).rightJustified(2, '0');
}

QByteArray long_table()
{
    QByteArray networks;
    for (int id = 0; id < 41; ++id)
        networks += "network={\n\tssid=" + long_name(id).toHex() + (id == 39 ? "\n\tpsk=\"password1\"" : "")
            + (id == 39 ? "\n\tkey_mgmt=WPA-PSK" : "\n\tkey_mgmt=NONE") + (id % 2 ? "\n\tdisabled=1" : "") + "\n}\n";
    return networks;
}

} // namespace

void RealDaemonTest::reads_long_tables_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("removed"); // the profile gone from the saved file, or -1
    const QString last = QString::fromUtf8(long_name(40));
    QTest::newRow("connect the last, no wait") << QStringList{QStringLiteral("connect"), last}
                                               << "Connected to " + long_name(40) + ".\n" << -1;
    QTest::newRow("connect a disabled one that times out")
        << QStringList{QStringLiteral("connect"), QString::fromUtf8(long_name(39))} << QByteArray() << -1;
    QTest::newRow("forget the last") << QStringList{QStringLiteral("forget"), QStringLiteral("--yes"), last}
                                     << "Forgot " + long_name(40) + ".\n" << 40;
}

// Every read of the table reads all of it: nothing past 4 KiB is missed,
// and no flag there is written down by the next save.
void RealDaemonTest::reads_long_tables()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, removed);
    RealDaemon daemon(long_table());
    const QString problem = daemon.start();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(!daemon.ask("LIST_NETWORKS").contains("\n40\t")); // the daemon's own cut
    const QProcessEnvironment environment =
        wifi_environment(daemon.socket_path(), {QStringLiteral("VANTREL_WIFI_CONNECT_TIMEOUT_MS=")
                                                + QLatin1String(arguments.first() == QLatin1String("forget") ? "0" : "1000")});
    const ToolRun listed = run_wifi(environment, words("list --cached --json"));
    QCOMPARE(QJsonDocument::fromJson(listed.out).array().size(), 41);

    const ToolRun run = run_wifi(environment, arguments);

    QTEST(run.out, "out");
    QCOMPARE(daemon.ask("SAVE_CONFIG"), QByteArray("OK"));
    QList<QByteArrayList> expected = network_blocks(long_table());
    if (removed >= 0)
        expected.removeAt(removed);
    QCOMPARE(network_blocks(daemon.config()), expected);
}

void RealDaemonTest::works_beside_a_proxy_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("joined"); // the name STATUS reports as joined; empty: the daemon's own
    QTest::addColumn<QByteArray>("lost");   // a request whose reply the tool never gets
    QTest::addColumn<QByteArray>("meddle_at");
    QTest::addColumn<QByteArrayList>("meddling"); // a second client's requests
    QTest::addColumn<QByteArray>("out");
    // LIST_NETWORKS afterwards as ids, names and disabled flags; empty: not checked.
    QTest::addColumn<QByteArray>("profiles");
    QTest::addColumn<QList<QByteArrayList>>("blocks"); // what a save then writes; empty: not checked
    QTest::addColumn<QByteArray>("link"); // the network the link is up on afterwards; empty: not checked
    const QByteArray none;
    const QList<QByteArrayList> before = network_blocks(four_profiles);
    const QByteArray guest = "SET_NETWORK 1 ssid " + QByteArray("Guest").toHex();
    // Ids name profiles only until someone changes the table: the tool touches
    // only what it changed, and another client's work does not fail its join.
    QTest::newRow("a profile replaced under a known id meanwhile stays disabled")
        << words("connect Home") << none << none << none << QByteArray("SELECT_NETWORK 0")
        << QByteArrayList{"REMOVE_NETWORK 3", "REMOVE_NETWORK 2", "REMOVE_NETWORK 1", "ADD_NETWORK", guest}
        << QByteArray("Connected to Home.\n") << QByteArray("0 Home |1 Guest [DISABLED]|")
        << QList<QByteArrayList>() << none;
    QTest::newRow("another profile removed meanwhile: the join stands")
        << words("connect --open Lobby") << none << none << none << QByteArray("SELECT_NETWORK 4")
        << QByteArrayList{"REMOVE_NETWORK 0"} << QByteArray("Connected to Lobby.\n")
        << QByteArray("1 Office |2 Attic [DISABLED]|3 Faraway [DISABLED]|4 Lobby |") << QList<QByteArrayList>() << none;
    QTest::newRow("a lost add beside another client's: neither unnamed profile is removed")
        << words("connect --open Lobby") << none << none << QByteArray("ADD_NETWORK") << QByteArray("ADD_NETWORK")
        << QByteArrayList{"ADD_NETWORK"} << none
        << QByteArray("0 Home |1 Office |2 Attic [DISABLED]|3 Faraway [DISABLED]|4  [DISABLED]|5  [DISABLED]|")
        << before << none;
    // What the daemon saves for the networks people meet today, their association
    // stood in for where the wired driver cannot make one.
    QTest::newRow("WPA3 alone") << words("connect --password-stdin Modern") << QByteArray("sae secret\n")
                                << QByteArray("Modern") << none << none << QByteArrayList()
                                << QByteArray("Connected to Modern.\n") << none
                                << before + QList<QByteArrayList>{{"ssid=\"Modern\"", "sae_password=\"sae secret\"",
                                                                   "key_mgmt=SAE", "ieee80211w=2"}} << none;
    QTest::newRow("hidden") << words("connect --hidden --open Hidden") << none << none << none << none
                            << QByteArrayList() << QByteArray("Connected to Hidden.\n") << none
                            << before + QList<QByteArrayList>{{"ssid=\"Hidden\"", "scan_ssid=1", "key_mgmt=NONE"}} << none;
    QTest::newRow("the chosen profile renamed meanwhile is not disabled again")
        << words("connect Attic") << none << none << none << QByteArray("SELECT_NETWORK 2")
        << QByteArrayList{"SET_NETWORK 2 ssid " + QByteArray("Guest").toHex()} << none
        << QByteArray("0 Home |1 Office |2 Guest |3 Faraway [DISABLED]|") << QList<QByteArrayList>() << none;
    QTest::newRow("hidden WPA") << words("connect --hidden --password-stdin Hidden") << QByteArray("password1\n")
                                << QByteArray("Hidden") << none << none << QByteArrayList() << QByteArray("Connected to Hidden.\n")
                                << none
                                << before + QList<QByteArrayList>{{"ssid=\"Hidden\"", "scan_ssid=1",
                                                                   "psk=\"password1\"", "key_mgmt=WPA-PSK"}} << none;
    // A WPA3-only profile with a negative priority, saved by another client just before the run.
    const QByteArray modern = "SET_NETWORK 4 ";
    QTest::newRow("a changed WPA3 password") << words("password Modern") << QByteArray("new secret\n")
        << QByteArray("Modern") << none << QByteArray("LIST_NETWORKS")
        << QByteArrayList{"ADD_NETWORK", modern + "ssid " + QByteArray("Modern").toHex(), modern + "key_mgmt SAE",
                          modern + "sae_password \"old secret\"", modern + "priority -3"}
        << QByteArray("Connected to Modern.\n") << none
        << before + QList<QByteArrayList>{{"ssid=\"Modern\"", "sae_password=\"new secret\"", "key_mgmt=SAE",
                                           "priority=-3", "disabled=1", "ieee80211w=2"}} << none;
    QTest::newRow("a changed password: an old id renamed meanwhile stays")
        << words("password Faraway") << QByteArray("newpass12\n") << QByteArray("Faraway") << none
        << QByteArray("ENABLE_NETWORK 1 no-connect") << QByteArrayList{"SET_NETWORK 3 ssid " + QByteArray("Guest").toHex()}
        << QByteArray("Connected to Faraway.\n")
        << QByteArray("0 Home |1 Office |2 Attic [DISABLED]|3 Guest [DISABLED]|4 Faraway [DISABLED]|")
        << QList<QByteArrayList>() << none;
    QTest::newRow("a changed password") << words("password Faraway") << QByteArray("newpass12\n")
                                        << QByteArray("Faraway") << none << none << QByteArrayList()
                                        << QByteArray("Connected to Faraway.\n") << none
                                        << before.mid(0, 3) + QList<QByteArrayList>{{"ssid=\"Faraway\"",
                                               "psk=\"newpass12\"", "key_mgmt=WPA-PSK", "disabled=1"}} << none;
    QTest::newRow("a changed password that never joins") << words("password Faraway") << QByteArray("newpass12\n")
                                                         << none << none << none << QByteArrayList() << none << none
                                                         << before << none;
    // Ranked and kept from joining by itself in place: every profile of the name,
    // a link in use kept, no attempt started; a network kept off and joined by
    // hand stays off when another is forgotten.
    const QByteArray home = "SET_NETWORK 4 ";
    QTest::newRow("priority: every profile of the name") << words("priority Home 7") << none << none << none
        << QByteArray("LIST_NETWORKS") << QByteArrayList{"ADD_NETWORK", home + "ssid 486f6d65", home + "key_mgmt NONE"}
        << QByteArray("Priority of Home set to 7.\n")
        << QByteArray("0 Home |1 Office |2 Attic [DISABLED]|3 Faraway [DISABLED]|4 Home [DISABLED]|")
        << QList<QByteArrayList>{{"ssid=\"Home\"", "key_mgmt=NONE", "priority=7"}} + before.mid(1)
               + QList<QByteArrayList>{{"ssid=\"Home\"", "key_mgmt=NONE", "priority=7", "disabled=1"}}
        << none;
    QTest::newRow("autojoin off in use: the link stays") << words("connect Home ; autojoin off Home") << none << none << none << none
        << QByteArrayList() << QByteArray("Auto-join of Home is off.\n")
        << QByteArray("0 Home [DISABLED]|1 Office |2 Attic [DISABLED]|3 Faraway [DISABLED]|")
        << QList<QByteArrayList>{{"ssid=\"Home\"", "key_mgmt=NONE", "disabled=1"}} + before.mid(1) << QByteArray("Home");
    QTest::newRow("autojoin on: no attempt") << words("connect Home ; autojoin on Attic") << none << none << none << none
        << QByteArrayList() << QByteArray("Auto-join of Attic is on.\n")
        << QByteArray("0 Home |1 Office |2 Attic |3 Faraway [DISABLED]|")
        << before.mid(0, 2) + QList<QByteArrayList>{{"ssid=\"Attic\"", "key_mgmt=NONE"}} + before.mid(3)
        << QByteArray("Home");
    QTest::newRow("joined by hand while off, another forgotten: still off")
        << words("connect Attic ; forget --yes Office") << none << none << none << none << QByteArrayList()
        << QByteArray("Forgot Office.\n") << QByteArray("0 Home |2 Attic [DISABLED]|3 Faraway [DISABLED]|")
        << before.mid(0, 1) + before.mid(2) << QByteArray("Attic");
}

void RealDaemonTest::works_beside_a_proxy()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, joined);
    QFETCH(QByteArray, lost);
    QFETCH(QByteArray, meddle_at);
    QFETCH(QByteArrayList, meddling);
    QFETCH(QByteArray, profiles);
    QFETCH(QList<QByteArrayList>, blocks);
    QFETCH(QByteArray, link);
    RealDaemon daemon(four_profiles);
    const QString problem = daemon.start();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const QByteArray config = daemon.config();
    FakeDaemon proxy;
    proxy.reply("SCAN_RESULTS", new_networks + "02:00:00:00:00:05\t2412\t-40\t[RSN-SAE-CCMP][ESS]\tModern\n"
                                               "02:00:00:00:00:06\t2412\t-45\t[ESS]\tHidden\n"
                                               "02:00:00:00:00:07\t2412\t-50\t[WPA2-PSK-CCMP][ESS]\tFaraway\n");
    proxy.reply("GET_CAPABILITY key_mgmt strict", "NONE WPA-PSK SAE");
    if (!joined.isEmpty())
        proxy.reply("STATUS", "wpa_state=COMPLETED\nssid=" + joined + '\n');
    proxy.forward_to(daemon.socket_path());
    proxy.inject(Fault::Lose, lost, 1);
    proxy.meddle(meddle_at, meddling);

    // Commands one after another, ";" between them: the last one's output counts.
    const QStringList commands = arguments.join(QLatin1Char(' ')).split(QStringLiteral(" ; "));
    ToolRun run;
    for (const QString& command : commands)
        run = run_wifi(wifi_environment(proxy.path(), {QStringLiteral("VANTREL_WIFI_CONNECT_TIMEOUT_MS=1000")}),
                       command.split(QLatin1Char(' ')), input);

    QTEST(run.out, "out");
    // A run writes the configuration once at most.
    QVERIFY(changing(proxy.requests()).count("SAVE_CONFIG") <= commands.size());
    if (!link.isEmpty())
        QVERIFY2(daemon.ask("STATUS").contains("\nssid=" + link + "\n") && daemon.ask("STATUS").contains("wpa_state=COMPLETED"),
                 daemon.ask("STATUS").constData());
    if (run.out.isEmpty())
        QCOMPARE(daemon.config(), config);
    QByteArray listed;
    for (const QByteArray& line : daemon.ask("LIST_NETWORKS").split('\n').mid(1)) {
        const QByteArrayList columns = line.split('\t');
        // Whether the wired link has moved to a profile yet is the daemon's pace, not the tool's.
        listed += columns.value(0) + ' ' + columns.value(1) + ' ' + columns.value(3).replace("[CURRENT]", "") + '|';
    }
    if (!profiles.isEmpty())
        QCOMPARE(listed, profiles);
    QCOMPARE(daemon.ask("SAVE_CONFIG"), QByteArray("OK"));
    if (!blocks.isEmpty())
        QCOMPARE(network_blocks(daemon.config()), blocks);
    if (arguments.contains(QStringLiteral("--hidden")))
        QVERIFY(proxy.requests().contains("SCAN ssid " + QByteArray("Hidden").toHex()));
}

namespace {

// A profile as the daemon lists it: its id, its name in the daemon's escaped
// form, and whether it is disabled.
struct Entry {
    int id = -1;
    QByteArray name; // empty: not named yet, and never saved
    bool disabled = false;
};

// The daemon's whole table, a page at a time, through its own socket.
QList<Entry> daemon_table(const RealDaemon& daemon)
{
    QList<Entry> table;
    for (QByteArray request = "LIST_NETWORKS";; request = "LIST_NETWORKS LAST_ID=" + QByteArray::number(table.last().id)) {
        const qsizetype known = table.size();
        for (const QByteArray& line : daemon.ask(request).split('\n').mid(1)) {
            const QByteArrayList columns = line.split('\t');
            if (columns.size() == 4)
                table.append({columns.at(0).toInt(), columns.at(1), columns.at(3).contains("[DISABLED]")});
        }
        if (table.size() == known)
            return table;
    }
}

// The named profiles of a saved file, as the daemon would list them.
QList<Entry> saved_table(const QByteArray& config)
{
    QList<Entry> table;
    for (const QByteArrayList& block : network_blocks(config)) {
        const QByteArray ssid = block.first().mid(5);
        table.append({-1, listed_name(ssid.startsWith('"') ? ssid.mid(1).chopped(1) : QByteArray::fromHex(ssid)),
                      block.contains("disabled=1")});
    }
    return table;
}

// The named profiles in order, each with its flag unless its id is `loose`
// (another client changed it: whether it is enabled again is the tool's call).
QByteArrayList shown(const QList<Entry>& table, int loose = -2)
{
    QByteArrayList lines;
    for (const Entry& entry : table) {
        if (!entry.name.isEmpty())
            lines.append(entry.name + (entry.id != loose && entry.disabled ? " [DISABLED]" : ""));
    }
    return lines;
}

} // namespace

void RealDaemonTest::keeps_all_or_nothing_at_random_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= 96; ++seed) {
        if (Shard().keeps(int(seed)))
            QTest::addRow("seed %u", seed) << seed;
    }
}

// A seeded schedule: a random table (past 4 KiB, raw-byte and repeated names,
// disabled flags), a random action and one random fault at a request of its
// run, or a second client at work while it waits. Each run ends as before or
// as after; a refusal past the point of no return leaves daemon and file agreeing.
void RealDaemonTest::keeps_all_or_nothing_at_random()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    QList<Entry> table;
    QByteArrayList names; // as bytes, for the command line
    QByteArray networks;
    QList<FakeDaemon::AccessPoint> air = {{"02:00:00:00:01:00", 2412, -40, "[ESS]", "Lobby"},
                                          {"02:00:00:00:01:01", 2412, -45, "[WPA2-PSK-CCMP][ESS]", "Secure"}};
    for (int id = 0, size = int(random.bounded(46)); id < size; ++id) {
        const QByteArray number = QByteArray::number(id);
        const QByteArrayList choices = {"Net" + number, QByteArray("\xc3\xa9").repeated(14) + number,
                                        "\xff\xfe" + number, id > 0 ? names.at(random.bounded(id)) : "Net"};
        names.append(choices.at(random.bounded(4)));
        table.append({id, listed_name(names.last()), random.bounded(3) == 0});
        networks += "network={\n\tssid=" + names.last().toHex() + "\n\tkey_mgmt=NONE\n"
            + (table.last().disabled ? "\tdisabled=1\n" : "") + "}\n";
        air.append({"02:00:00:00:00:" + QByteArray::number(id, 16).rightJustified(2, '0'), 2437, -50,
                    "[WPA2-PSK-CCMP][ESS]", table.last().name});
    }
    enum { JoinOpen, JoinWpa, Switch, Password, Forget };
    const int action = int(random.bounded(table.isEmpty() ? 2 : 5));
    const QByteArray target = action == JoinOpen ? "Lobby" : action == JoinWpa ? "Secure"
                                                                               : names.at(random.bounded(names.size()));
    const QList<QStringList> commands = {words("connect --open Lobby"), words("connect --password-stdin Secure"),
                                         {QStringLiteral("connect"), raw_word(target)},
                                         {QStringLiteral("password"), raw_word(target)},
                                         {QStringLiteral("forget"), QStringLiteral("--yes"), raw_word(target)}};
    const QByteArray input = action == JoinWpa ? "password1\n" : action == Password ? "newpass12\n" : "";
    const QByteArray success = (action == Forget ? "Forgot " : "Connected to ")
        + vtl::wifi::terminal_text(vtl::wifi::ssid_label(target)) + ".\n";
    // A network kept from joining by itself stays so, joined by hand or given a new password.
    const auto succeeded = [action, name = listed_name(target)](QList<Entry> profiles) {
        const auto first = std::find_if(profiles.begin(), profiles.end(), [&name](const Entry& entry) { return entry.name == name; });
        const bool off = action == Password && first != profiles.end() && first->disabled;
        if (action == Password || action == Forget)
            profiles.removeIf([&name](const Entry& entry) { return entry.name == name; });
        if (action != Switch && action != Forget)
            profiles.append({-1, name, off});
        return profiles;
    };
    QByteArrayList requests;
    const auto run = [&](const FakeDaemon::Fault fault, const QByteArray& at, int occurrence,
                         const QByteArrayList& meddling) {
        RealDaemon daemon(networks);
        if (!daemon.start().isEmpty())
            throw std::runtime_error("wpa_supplicant did not start");
        const QByteArray config = daemon.config();
        FakeDaemon proxy;
        proxy.hold(air);
        proxy.reply("STATUS", "wpa_state=COMPLETED\nssid=" + listed_name(target) + '\n');
        proxy.forward_to(daemon.socket_path());
        proxy.inject(fault, at, occurrence);
        proxy.meddle(meddling.isEmpty() ? QByteArray() : at, meddling, occurrence);
        const ToolRun tool = run_wifi(wifi_environment(proxy.path(), {QStringLiteral("VANTREL_WIFI_CONNECT_TIMEOUT_MS=3000")}),
                                      commands.at(action), input);
        requests = proxy.requests();
        return std::make_tuple(tool, config, daemon.config(), daemon_table(daemon));
    };
    run(Fault::None, QByteArray(), 0, QByteArrayList());

    // The fault, at any request of the run as it went without one; or a second
    // client's work at the first request forwarded after the selection.
    const int kind = int(random.bounded(6));
    const Fault fault = QList<Fault>{Fault::None, Fault::Lose, Fault::Refuse, Fault::Interrupt, Fault::Terminate,
                                     Fault::None}.at(kind);
    qsizetype at = random.bounded(int(requests.size()));
    if (kind == 5) {
        at = std::find_if(requests.begin(), requests.end(), [](const QByteArray& sent) { return sent.startsWith("SELECT"); })
            - requests.begin();
        while (at < requests.size() && requests.at(at).startsWith("S"))
            ++at;
    }
    QByteArrayList meddling;
    int loose = -2;
    QList<Entry> before = table;
    if (kind == 5 && at < requests.size()) {
        const int way = int(random.bounded(table.isEmpty() ? 1 : 3));
        loose = way == 0 ? -2 : table.at(random.bounded(table.size())).id;
        const QByteArray id = QByteArray::number(loose);
        meddling = QList<QByteArrayList>{{"ADD_NETWORK"}, {"REMOVE_NETWORK " + id},
                                         {"SET_NETWORK " + id + " ssid " + QByteArray("Renamed").toHex()}}.at(way);
        for (Entry& entry : before)
            entry.name = entry.id == loose && way == 2 ? "Renamed" : entry.name;
        before.removeIf([loose, way](const Entry& entry) { return way == 1 && entry.id == loose; });
    }
    const QByteArray request = requests.value(at);
    const auto [tool, config, file, now] =
        run(fault, request, int(requests.mid(0, at + 1).count(request)), meddling);

    QCOMPARE(leftover_sockets(tool.pid), QStringList());
    QCOMPARE(now.size() - shown(now).size(), meddling.value(0) == "ADD_NETWORK" ? 1 : 0);
    const QByteArray about = "fault at " + request + ": " + tool.err;
    if (tool.status == 0) {
        QCOMPARE(tool.out, success);
        QCOMPARE(shown(now, loose), shown(succeeded(before), loose));
        QVERIFY2(action == Switch ? file == config : shown(saved_table(file)) == shown(now), about.constData());
    } else if (fault == Fault::Refuse && (file != config || shown(now, loose) != shown(before, loose))) {
        // Refused past the point of no return: the file holds what the daemon does, unless it was the save.
        QCOMPARE(tool.status, 1);
        QVERIFY2(request == "SAVE_CONFIG" || shown(saved_table(file)) == shown(now), about.constData());
    } else {
        QCOMPARE(tool.out, QByteArray());
        QVERIFY2(file == config && shown(now, loose) == shown(before, loose), about.constData());
    }
}

// The rows of the shards, taken together, are each table's rows, each once:
// a row numbered only in some shards would run in none, or in two.
void RealDaemonTest::shares_out_every_row_once()
{
    const auto tags = [](const QString& shard) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VANTREL_TEST_SHARD"), shard);
        QByteArrayList rows = run_command(tool_command(QCoreApplication::applicationFilePath(), {QStringLiteral("-datatags")}),
                                          environment).out.split('\n');
        rows.removeIf([](const QByteArray& row) { return !row.contains(" keeps_all_or_nothing"); });
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    const int count = Shard().count;
    const QByteArrayList all = tags(QStringLiteral("0/1"));
    QByteArrayList shared;
    for (int index = 0; index < count; ++index)
        shared += tags(QStringLiteral("%1/%2").arg(index).arg(count));
    std::sort(shared.begin(), shared.end());
    QCOMPARE(shared, all);
    const qsizetype seeds = QByteArrayList(all).removeIf([](const QByteArray& row) {
        return row.contains(" keeps_all_or_nothing_at_random ");
    });
    QVERIFY(seeds > 0 && all.size() > seeds);
    qInfo("Rows shared out: %lld fault rows and %lld seeds, each in one of %d shards", qlonglong(all.size() - seeds),
          qlonglong(seeds), count);
}

// In the arguments "{peap}" stands for a PEAP join of alice checked by the
// genuine CA and example.org, "{tls}" for dave's TLS join checked so, "{ca}"
// for the genuine CA's file, "{rogue}" for the impostor's, "{sha}" for the
// SHA-256 of the genuine server's certificate, "{sha:NAME}" for another's,
// "{start:NAME}" and "{end:NAME}" for its dates, "{cafile}" for the genuine
// CA kept in the CA folder (there before a run whose profile names it), and
// "{NAME.EXT}" for a file the rig made. A row without saved lines or output
// must change nothing; its status is 1 unless it gives another.
void RealDaemonTest::checks_enterprise_servers_data()
{
    QTest::addColumn<QString>("authenticator");
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("err"); // after the prompts, if any
    QTest::addColumn<QByteArray>("out"); // before "Connected to Corp." when it joins
    QTest::addColumn<QByteArrayList>("saved"); // lines of the new block, "CA" the genuine CA's file
    QTest::addColumn<QByteArray>("profile");   // in the daemon's file to begin with
    QTest::addColumn<int>("status");
    const char* subject = "Could not verify the network's server: ";
    const QByteArray old = "network={\nssid=\"Corp\"\nkey_mgmt=IEEE8021X\neap=PEAP\nidentity=\"alice\"\npassword=\"old\"\n"
                           "phase2=\"auth=MSCHAPV2\"\npriority=4\ndisabled=1\n";
    const QByteArray checked = old + "ca_cert=\"CA\"\n";
    const QByteArray root = "/C=XX/O=Vantrel Test/CN=Vantrel Test Root CA";
    // The server's block for the leaf NAME under the genuine CA, ending in what first use trusts.
    const auto chain = [&root](const char* name, const char* state = "") {
        return "Server of Corp: radius.example.org\n  certificate  /C=XX/O=Vantrel Test/CN=radius.example.org\n"
               "  issuer       " + root + "\n  valid        {start:" + name + "} to {end:" + name + "}" + state
            + "\n  sha256       {sha:" + name + "}\n  issued by    " + root
            + "\n  valid until  {end:genuine-ca}, self-signed\n  sha256       {sha:genuine-ca}\n";
    };
    const QByteArray trust_ca = "Trusting it trusts the CA " + root + ", which vouches for the server's next "
                                "certificates too; compare the CA's sha256 with the one your organisation publishes.\n";
    const QByteArray saved_as = "network={\nssid=\"Corp\"\nkey_mgmt=IEEE8021X\neap=PEAP\nidentity=\"alice\"\n"
                                "anonymous_identity=\"outer@example.org\"\npassword=\"alice-pass-1\"\n"
                                "phase2=\"auth=MSCHAPV2\"\ndomain_suffix_match=\"example.org\"\n";
    const QByteArray pinned = saved_as + "ca_cert=\"hash://server/sha256/{sha}\"\n}\n";
    const QByteArray ca_trusted = saved_as + "ca_cert=\"{cafile}\"\n}\n";
    const QByteArray impostor = "Your organisation may have renewed it, or another access point may be impersonating the "
                                "network: compare it with the fingerprint your organisation publishes";
    const struct {
        const char* name;
        const char* authenticator;
        const char* arguments;
        const char* input;
        QByteArray err;
        QByteArray out;
        QByteArrayList saved;
        QByteArray profile;
        int status = -1;
    } rows[] = {
        {"PEAP/MSCHAPv2 joins and saves", "genuine", "{peap} --password-stdin Corp", "alice-pass-1\n", "", "",
         {"ssid=\"Corp\"", "key_mgmt=IEEE8021X", "eap=PEAP", "identity=\"alice\"", "password=\"alice-pass-1\"",
          "ca_cert=\"CA\"", "domain_suffix_match=\"example.org\"", "phase2=\"auth=MSCHAPV2\"", "ieee80211w=1"}, ""},
        {"TTLS/PAP joins", "genuine",
         "connect --eap ttls --phase2 pap --identity bob --anonymous-identity x@example.org --domain radius.example.org "
         "--ca-cert {ca} --password-stdin Corp",
         "bob-pass-2\n", "", "",
         {"eap=TTLS", "identity=\"bob\"", "anonymous_identity=\"x@example.org\"", "phase2=\"auth=PAP\""}, ""},
        {"another domain", "genuine",
         "connect --eap peap --identity alice --domain example.com --ca-cert {ca} --password-stdin Corp", "alice-pass-1\n",
         subject + QByteArray("Domain suffix mismatch (it presented /C=XX/O=Vantrel Test/CN=radius.example.org)."), "",
         {}, ""},
        {"a CA that did not sign the server", "genuine",
         "connect --eap peap --identity alice --domain example.org --ca-cert {rogue} --password-stdin Corp",
         "alice-pass-1\n",
         subject + QByteArray("self-signed certificate in certificate chain "
                              "(it presented /C=XX/O=Vantrel Test/CN=Vantrel Test Root CA)."), "", {}, ""},
        {"a wrong password", "genuine", "{peap} --password-stdin Corp", "alice-pass-2\n",
         "The network refused the identity or password.", "", {}, ""},
        {"an impostor learns no secret", "impostor", "{peap} --anonymous-identity outer@example.org --password-stdin Corp",
         "alice-pass-1\n",
         subject + QByteArray("self-signed certificate in certificate chain "
                              "(it presented /C=XX/O=Evil Twin Ltd/CN=Evil Twin Ltd Root CA)."), "", {}, ""},
        {"a missing CA file, before any request", "genuine",
         "connect --eap peap --identity a --domain example.org --ca-cert /nonexistent/ca.pem --password-stdin Corp",
         "alice-pass-1\n", "Could not read a CA certificate from /nonexistent/ca.pem.", "", {}, ""},
        {"pick: PEAP by the CA bundle", "genuine", "pick", "1\nalice@example.org\nexample.org\nalice-pass-1\n",
         "Network number: Identity: Server domain: Wi-Fi password: ", "1.   Corp  [WPA enterprise, -40 dBm]\n",
         {"identity=\"alice@example.org\"", "anonymous_identity=\"anonymous@example.org\"", "ca_cert=\"CA\""}, ""},
        {"password keeps the method, identity and server check", "genuine", "password Corp", "alice-pass-1\n", "", "",
         {"password=\"alice-pass-1\"", "ca_cert=\"CA\"", "domain_suffix_match=\"example.org\"", "priority=4"},
         checked + "domain_suffix_match=\"example.org\"\n}\n"},
        {"password: a profile checked by domain_match", "genuine", "password Corp", "alice-pass-1\n", "", "",
         {"password=\"alice-pass-1\"", "domain_match=\"radius.example.org\""},
         checked + "domain_match=\"radius.example.org\"\n}\n"},
        {"password of a profile without a server check", "genuine", "password Corp", "alice-pass-1\n",
         "Corp has no server check; forget it and join it again with connect.", "", {}, checked + "}\n"},
        {"password of a profile with a domain but no CA", "genuine", "password Corp", "alice-pass-1\n",
         "Corp has no server check; forget it and join it again with connect.", "", {},
         old + "domain_suffix_match=\"example.org\"\n}\n"},
        {"password holding CR", "genuine", "password Corp", "alice-pass\r1\n",
         "Wi-Fi passwords cannot contain NUL or newline characters.", "", {},
         checked + "domain_suffix_match=\"example.org\"\n}\n"},
        {"password of a TLS profile", "genuine", "password Corp", "alice-pass-1\n",
         "Corp signs in with a certificate, not a password.", "", {},
         QByteArray(checked).replace("eap=PEAP", "eap=TLS") + "domain_suffix_match=\"example.org\"\n}\n"},
        {"TLS joins and saves: an encrypted PEM key", "genuine", "{tls} --private-key {dave.key} --client-cert {dave.pem}",
         "key-pass-4\n", "", "",
         {"eap=TLS", "identity=\"dave\"", "ca_cert=\"CA\"", "client_cert=\"{dave.pem}\"", "private_key=\"{dave.key}\"",
          "private_key_passwd=\"key-pass-4\""}, ""},
        {"TLS joins: a PKCS#12 bundle", "genuine", "{tls} --private-key {dave.p12}", "key-pass-4\n", "", "",
         {"eap=TLS", "private_key=\"{dave.p12}\""}, ""},
        {"TLS: a wrong passphrase", "genuine", "{tls} --private-key {dave.key} --client-cert {dave.pem}", "key-pass-5\n",
         "wpa_supplicant could not use the private key {dave.key}; check its passphrase and that the daemon can read it.",
         "", {}, ""},
        {"TLS: a certificate the server refuses", "genuine", "{tls} --private-key {mallory.key} --client-cert {mallory.pem}",
         "key-pass-4\n", "The network refused the certificate.", "", {}, ""},
        {"TLS: a key others can read, before any request", "genuine",
         "{tls} --private-key {open.key} --client-cert {dave.pem}", "key-pass-4\n",
         "{open.key} can be read by other users; make it private with chmod 600 {open.key}.", "", {}, ""},
        {"server shows the chain", "genuine", "server Corp", "", "",
         chain("genuine") + trust_ca
             + "To trust it: vantrel-wifi connect --eap METHOD --identity NAME --domain radius.example.org "
               "--ca-cert FILE --password-stdin Corp\n",
         {}, ""},
        {"server of a TLS network names the key", "genuine", "server --eap tls --identity dave Corp", "", "",
         chain("genuine") + trust_ca
             + "To trust it: vantrel-wifi connect --eap tls --identity dave --domain radius.example.org "
               "--ca-cert FILE --private-key FILE Corp\n",
         {}, ""},
        // The saved CA issued the issuing CA the server sends in place of the root: no warning.
        {"server of a CA-trusted network whose server sends no root", "issued", "server Corp", "", "",
         "Server of Corp: radius.example.org\n  certificate  /C=XX/O=Vantrel Test/CN=radius.example.org\n  issuer       "
         "/C=XX/O=Vantrel Test/CN=Vantrel Test Issuing CA\n  valid        {start:issued} to {end:issued}\n  sha256       "
         "{sha:issued}\n  issued by    /C=XX/O=Vantrel Test/CN=Vantrel Test Issuing CA\n  valid until  {end:issuing-ca}\n"
         "  sha256       {sha:issuing-ca}\nTrusting it trusts this server certificate alone, which must be trusted again "
         "when it is renewed; compare its sha256 with the one your organisation publishes.\n"
         "To trust it: vantrel-wifi trust Corp --server-cert {sha:issued}\n",
         {}, ca_trusted, 0},
        {"a pinned server joins and saves the pin", "genuine",
         "connect --eap peap --identity alice --domain example.org --server-cert {sha} --password-stdin Corp",
         "alice-pass-1\n", "", "", {"ca_cert=\"hash://server/sha256/{sha}\"", "domain_suffix_match=\"example.org\""}, ""},
        {"the pin refuses the impostor", "impostor",
         "connect --eap peap --identity alice --anonymous-identity outer@example.org --domain example.org "
         "--server-cert {sha} --password-stdin Corp",
         "alice-pass-1\n",
         "The network's server presented another certificate than the one given (sha256 {sha:impostor}; given: {sha}). "
             + impostor + " (vantrel-wifi server Corp shows it).", "", {}, ""},
        {"a CA trusted on first use takes the renewed certificate", "renewed", "connect Corp", "", "",
         "Connected to Corp.\n", {}, ca_trusted, 0},
        {"a pinned profile meets the renewed certificate: why, at once", "renewed", "connect Corp", "",
         "The network's server presented another certificate than the one trusted for Corp (sha256 {sha:renewed}; "
         "trusted: {sha}). " + impostor + ", then trust it with vantrel-wifi trust Corp.", "", {}, pinned},
        {"the impostor meets a CA-trusted profile: why, at once", "impostor", "connect Corp", "",
         "The CA trusted for Corp does not vouch for the network's server (it presented /C=XX/O=Evil Twin Ltd/CN=Evil "
         "Twin Ltd Root CA, sha256 {sha:impostor}). Your organisation may have changed its certificates, or another "
         "access point may be impersonating the network: compare it with the fingerprint your organisation publishes, "
         "then trust it with vantrel-wifi trust Corp.", "", {}, ca_trusted},
        {"trust --server-cert takes the renewed certificate in place", "renewed", "trust --server-cert {sha:renewed} Corp",
         "", "", "", {"ca_cert=\"hash://server/sha256/{sha:renewed}\"", "identity=\"alice\"", "password=\"alice-pass-1\"",
                      "domain_suffix_match=\"example.org\""}, pinned},
        {"trust --ca-cert: the CA in place of a pin", "renewed", "trust --ca-cert {ca} Corp", "", "", "",
         {"ca_cert=\"CA\"", "password=\"alice-pass-1\""}, pinned},
        {"trust on a terminal takes the CA", "renewed", "trust Corp", "Trust this server? [y/N] |y", "",
         "The check saved for Corp does not take this server: it trusts the certificate with sha256 {sha}.\n"
             + chain("renewed") + trust_ca,
         {"ca_cert=\"{cafile}\"", "password=\"alice-pass-1\""}, pinned},
        {"trust on a terminal whose join fails: the CA kept goes again", "renewed", "trust Corp",
         "Trust this server? [y/N] |y", "The network refused the identity or password.",
         "The check saved for Corp does not take this server: it trusts the certificate with sha256 {sha}.\n"
             + chain("renewed") + trust_ca,
         {}, QByteArray(pinned).replace("alice-pass-1", "alice-pass-2"), 1},
        {"trust on a terminal, no: nothing changes", "renewed", "trust Corp", "Trust this server? [y/N] |n", "",
         "The check saved for Corp does not take this server: it trusts the certificate with sha256 {sha}.\n"
             + chain("renewed") + trust_ca,
         {}, pinned, 1},
        {"trust on a terminal: an expired certificate is never offered", "expired", "trust Corp", "", "",
         "The check saved for Corp does not take this server: it trusts the certificate with sha256 {sha}.\n"
             + chain("expired", ", expired")
             + "A certificate is past its validity or not valid yet: it is not offered for trust.\n",
         {}, pinned, 1},
        {"connect --password-stdin on a terminal: asked, hidden", "genuine", "{peap} --password-stdin Corp",
         "Wi-Fi password: |alice-pass-1", "", "", {"password=\"alice-pass-1\""}, ""},
        // The bundle holds the impostor's CA only; the person answers each prompt in turn.
        {"pick on a terminal trusts the server's CA", "genuine", "pick",
         "Network number: |1|Identity: |alice|Server domain: |example.org|Wi-Fi password: |alice-pass-1|"
         "Trust this server? [y/N] |y|Wi-Fi password: |alice-pass-1",
         subject + QByteArray("self-signed certificate in certificate chain "
                              "(it presented /C=XX/O=Vantrel Test/CN=Vantrel Test Root CA)."),
         chain("genuine") + trust_ca, {"ca_cert=\"{cafile}\""}, ""},
        {"pick on a terminal: another file of the CA's name stays, the server pinned", "genuine", "pick",
         "Network number: |1|Identity: |alice|Server domain: |example.org|Wi-Fi password: |alice-pass-1|"
         "Trust this server? [y/N] |y|Wi-Fi password: |alice-pass-1",
         "The CA could not be kept in {cadir}, so the server's certificate is trusted alone: trust it again when it is "
         "renewed.",
         chain("genuine") + trust_ca, {"ca_cert=\"hash://server/sha256/{sha}\""}, ""},
        {"pick on a terminal: a chain that stops at an issuing CA pins the server", "issued", "pick",
         "Network number: |1|Identity: |alice|Server domain: |example.org|Wi-Fi password: |alice-pass-1|"
         "Trust this server? [y/N] |y|Wi-Fi password: |alice-pass-1",
         subject + QByteArray("unable to get local issuer certificate "
                              "(it presented /C=XX/O=Vantrel Test/CN=Vantrel Test Issuing CA)."),
         "Server of Corp: radius.example.org\n  certificate  /C=XX/O=Vantrel Test/CN=radius.example.org\n  issuer       "
         "/C=XX/O=Vantrel Test/CN=Vantrel Test Issuing CA\n  valid        {start:issued} to {end:issued}\n  sha256       "
         "{sha:issued}\n  issued by    /C=XX/O=Vantrel Test/CN=Vantrel Test Issuing CA\n  valid until  {end:issuing-ca}\n"
         "  sha256       {sha:issuing-ca}\nTrusting it trusts this server certificate alone, which must be trusted again "
         "when it is renewed; compare its sha256 with the one your organisation publishes.\n",
         {"ca_cert=\"hash://server/sha256/{sha:issued}\""}, ""},
    };
    for (const auto& row : rows) {
        QTest::newRow(row.name)
            << QString::fromLatin1(row.authenticator)
            << QString::fromLatin1(row.arguments)
                   .replace(QLatin1String("{peap}"),
                            QLatin1String("connect --eap peap --identity alice --domain example.org --ca-cert {ca}"))
                   .replace(QLatin1String("{tls}"),
                            QLatin1String("connect --eap tls --identity dave --domain example.org --ca-cert {ca} "
                                          "--password-stdin Corp"))
            << QByteArray(row.input) << row.err << row.out << row.saved << row.profile
            << (row.status >= 0 ? row.status : row.saved.isEmpty() && row.out.isEmpty() ? 1 : 0);
    }
}

void RealDaemonTest::checks_enterprise_servers()
{
    QFETCH(QString, authenticator);
    QFETCH(QString, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, err);
    QFETCH(QByteArray, out);
    QFETCH(QByteArrayList, saved);
    QFETCH(QByteArray, profile);
    QFETCH(int, status);
    // Set up once, by the first row, in the shard that runs these rows.
    if (!authenticator_) {
        for (const char* needed : {"hostapd", "openssl", "ip", "wpa_supplicant"})
            QVERIFY2(!system_program(needed).isEmpty(), needed);
        authenticator_ = std::make_unique<Authenticator>();
    }
    QVERIFY2(authenticator_->problem().isEmpty(), qPrintable(authenticator_->problem()));
    const auto made = [this](const QString& name) {
        QFile file(authenticator_->file(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QDir folder(authenticator_->file(QStringLiteral("ca")));
    const QByteArray cafile = folder.filePath(QString::fromUtf8(made(QStringLiteral("genuine-ca.sha256")).trimmed()
                                                                + ".pem")).toUtf8();
    const auto filled = [this, &made, &cafile, &folder](QByteArray text) {
        text.replace("{ca}", "{genuine-ca.pem}").replace("{rogue}", "{impostor-ca.pem}").replace("{sha}", "{sha:genuine}");
        text.replace("{cafile}", cafile).replace("{cadir}", folder.path().toUtf8());
        const QRegularExpression fact(QStringLiteral("\\{(sha|start|end):([a-z-]+)\\}"));
        for (QRegularExpressionMatch match; (match = fact.match(QString::fromUtf8(text))).hasMatch();) {
            const QString extension = match.captured(1) == QLatin1String("sha") ? QStringLiteral("sha256") : match.captured(1);
            text.replace(match.captured(0).toUtf8(), made(match.captured(2) + QLatin1Char('.') + extension).trimmed());
        }
        const QRegularExpression file(QStringLiteral("\\{([a-z0-9.-]+\\.[a-z0-9]+)\\}"));
        for (QRegularExpressionMatch match; (match = file.match(QString::fromUtf8(text))).hasMatch();)
            text.replace(match.captured(0).toUtf8(), authenticator_->file(match.captured(1)).toUtf8());
        return text.replace("\"CA\"", '"' + authenticator_->file(QStringLiteral("genuine-ca.pem")).toUtf8() + '"');
    };
    // A fresh CA folder, holding the genuine CA for a profile that trusts it.
    QDir(folder).removeRecursively();
    QVERIFY(folder.mkpath(QStringLiteral(".")));
    if (profile.contains("{cafile}"))
        QVERIFY(QFile::copy(authenticator_->file(QStringLiteral("genuine-ca.pem")), QString::fromUtf8(cafile)));
    const bool another = QByteArray(QTest::currentDataTag()).contains("another file");
    QFile other(QString::fromUtf8(cafile));
    QVERIFY(!another || (other.open(QIODevice::WriteOnly) && other.write("another CA\n") == 11));
    other.close();
    const QStringList kept = folder.entryList(QDir::Files);
    const QString problem = authenticator_->serve(authenticator);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    RealDaemon daemon("eapol_version=2\n" + filled(profile), authenticator_->interface());
    const QString started = daemon.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    const QByteArray table = daemon.ask("LIST_NETWORKS");
    const QByteArray config = daemon.config();

    // Only what a wire cannot do is stood in for: the scan, and the Wi-Fi key
    // management, whose 4-way handshake never comes on a wire.
    FakeDaemon proxy;
    proxy.reply("SCAN", "OK");
    proxy.reply("SCAN_RESULTS", enterprise_scan);
    proxy.translate(" key_mgmt WPA-EAP WPA-EAP-SHA256", " key_mgmt IEEE8021X");
    proxy.forward_to(daemon.socket_path());
    const bool terminal = QByteArray(QTest::currentDataTag()).contains("terminal");
    const QProcessEnvironment environment =
        wifi_environment(proxy.path(), {QStringLiteral("VANTREL_WIFI_SCAN_DELAY_MS=0"),
                                        QStringLiteral("VANTREL_CA_BUNDLE=")
                                            + QString::fromUtf8(filled(terminal ? "{rogue}" : "{ca}")),
                                        QStringLiteral("VANTREL_WIFI_CA_DIR=") + folder.path()});
    const QStringList words_given = words(filled(arguments.toUtf8()).constData());
    QElapsedTimer timer;
    timer.start();
    ToolRun run;
    if (terminal) {
        TerminalRun person(tool_command(QStringLiteral(VANTREL_WIFI_BINARY), words_given), environment);
        const QByteArrayList dialogue = input.split('|');
        for (qsizetype at = 0; at + 1 < dialogue.size(); at += 2) {
            QVERIFY2(person.wait_for(dialogue.at(at), int(dialogue.mid(0, at + 1).count(dialogue.at(at)))),
                     person.screen().constData());
            // After a failure the wired authenticator ignores the station for 5 s; a new one does not.
            if (dialogue.at(at).startsWith("Trust"))
                QCOMPARE(authenticator_->serve(authenticator), QString());
            // What is typed before the echo goes off is thrown away; a password is never shown.
            if (dialogue.at(at).contains("password"))
                QVERIFY(person.wait_for_echo(false));
            person.type(dialogue.at(at + 1) + '\n');
        }
        run.pid = person.pid();
        run.status = person.finish();
        run.out = person.output();
        QVERIFY2(!person.screen().contains("alice-pass"), person.screen().constData());
        QVERIFY2(person.screen().contains(err.isEmpty() ? QByteArray() : "vantrel-wifi: " + filled(err) + "\r\n"),
                 person.screen().constData());
        err.clear();
    } else {
        run = run_wifi(environment, words_given, input);
    }
    authenticator_->stop();
    QCOMPARE(run.err, err.isEmpty() || status == 0 ? filled(err) : "vantrel-wifi: " + filled(err) + '\n');
    QCOMPARE(run.status, status);
    // EAP starts about 2 s after the selection on a wire; the outcome follows within a few ms,
    // never at the connection's limit (15 s). A person's dialogue holds two joins.
    QVERIFY2(timer.elapsed() < hang_limit_ms(terminal ? 5000 : 2500), "each outcome soon after the start of EAP");
    QCOMPARE(leftover_sockets(run.pid), QStringList());
    const QByteArray shown = filled(out) + (saved.isEmpty() ? "" : "Connected to Corp.\n");
    // A person's screen holds the dialogue before it.
    QVERIFY2(terminal && !shown.isEmpty() ? run.out.endsWith(shown) : run.out == shown, run.out.constData());
    if (QByteArray(QTest::currentDataTag()).contains("before any request"))
        QCOMPARE(proxy.requests(), QList<QByteArray>());
    // A failed run leaves the daemon, its file and the CA folder as they were
    // (a saved network it chose may still be tried); a saved network joined
    // again writes nothing.
    if (status != 0)
        QCOMPARE(daemon.ask("LIST_NETWORKS").replace("[CURRENT]", ""), table);
    if (saved.isEmpty()) {
        QCOMPARE(daemon.config(), config);
        QCOMPARE(folder.entryList(QDir::Files), kept);
    } else {
        QCOMPARE(changing(proxy.requests()).count("SAVE_CONFIG"), 1);
        QCOMPARE(daemon.config().count("network={"), 1); // an old profile replaced
        for (const QByteArray& line : saved)
            QVERIFY2(daemon.config().contains('\t' + filled(line) + '\n'), filled(line).constData());
    }
    // A CA kept for a profile is there, the CA itself, public; a file of its name is never replaced.
    if (another)
        QCOMPARE(made(QStringLiteral("ca/") + QFileInfo(QString::fromUtf8(cafile)).fileName()), QByteArray("another CA\n"));
    else if (profile.contains("{cafile}") || saved.join().contains("{cafile}")) {
        QCOMPARE(made(QStringLiteral("ca/") + QFileInfo(QString::fromUtf8(cafile)).fileName()), made(QStringLiteral("genuine-ca.pem")));
        struct stat info {};
        QCOMPARE(::stat(cafile.constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0644));
    }
    // The impostor saw the outer identity only: its log shows what it received
    // as hexdump lines ("6f 75 74 ... outer@example.or"); the password begins with the name.
    if (authenticator == QLatin1String("impostor")) {
        QFile log(authenticator_->file(QStringLiteral("impostor.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray seen = log.readAll();
        QVERIFY(seen.contains("6f 75 74 65 72 40 65 78") && !seen.contains("alice") && !seen.contains("61 6c 69 63 65"));
    }
}

// A status bar's follower beside another client, a reader that stops
// reading a while, and the daemon going and coming back: each change's
// record, in order, never one twice in a row, and nothing held back.
void RealDaemonTest::follows_the_link()
{
    RealDaemon daemon(saved_profiles);
    QCOMPARE(daemon.start(), QString());
    const QTemporaryDir directory;
    const QByteArray fifo = directory.filePath(QStringLiteral("out")).toLocal8Bit();
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
    const int filler = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
    ChildProcess tool(QStringList{QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                  QStringLiteral("exec \"$@\" >'%1'").arg(QString::fromLocal8Bit(fifo)), QStringLiteral("sh")}
                          + tool_command(QStringLiteral(VANTREL_WIFI_BINARY), words("status --follow --json")),
                      wifi_environment(daemon.socket_path(), {QStringLiteral("VANTREL_WIFI_FOLLOW_INTERVAL_MS=1000")}));
    QByteArray records;
    // The last record holds `part`, within `within_ms`.
    const auto shows = [reader, &records](const char* part, int within_ms) {
        const auto last = [&records, part] { return records.mid(records.lastIndexOf('\n', -2) + 1).contains(part); };
        QElapsedTimer timer;
        for (timer.start(); !(records.endsWith('\n') && last()) && timer.elapsed() < within_ms;) {
            char buffer[4096];
            const ssize_t got = ::read(reader, buffer, sizeof buffer);
            if (got > 0)
                records.append(buffer, got);
            else
                QTest::qWait(5);
        }
        return records.endsWith('\n') && last();
    };
    const char* home = "\"saved_id\":0,\"ssid\":\"Home\",\"state\":\"COMPLETED\"";
    const char* office = "\"saved_id\":1,\"ssid\":\"Office\",\"state\":\"COMPLETED\"";
    QVERIFY2(shows(home, hang_limit_ms(0)), records.constData());
    const std::pair<const char*, const char*> changes[] = {{"SELECT_NETWORK 1", office},
                                                           {"DISCONNECT", "\"state\":\"DISCONNECTED\""},
                                                           {"SELECT_NETWORK 0", home},
                                                           {"DISABLE_NETWORK 0", "\"saved_id\":-1,\"ssid\":\"\""}};
    for (const auto& [request, record] : changes) {
        QCOMPARE(daemon.ask(request), QByteArray("OK"));
        QVERIFY2(shows(record, hang_limit_ms(0)), records.constData());
    }
    // The reader stops: its pipe full, another client makes 5000 events, and
    // one that attaches then still hears the daemon at once.
    while (::write(filler, QByteArray(4096, 'x').constData(), 4096) > 0) {
    }
    const Client other(daemon.socket_path());
    for (int pair = 0; pair < 2500; ++pair)
        other.command("REMOVE_NETWORK " + other.command("ADD_NETWORK", 3000), 3000);
    const vtl::wifi::Events third(daemon.socket_path().toLocal8Bit());
    const QByteArray added = "CTRL-EVENT-NETWORK-ADDED " + other.command("ADD_NETWORK", 3000);
    QElapsedTimer timer;
    timer.start();
    std::optional<QByteArray> event;
    const int limit = hang_limit_ms(0);
    while (timer.elapsed() < limit && (event = third.next(int(limit - timer.elapsed()))) && !event->endsWith(added)) {
    }
    QVERIFY2(event && event->endsWith(added), "a third client's event at once");
    // Reading again, it gets whole lines that end in the newest record.
    QCOMPARE(daemon.ask("SELECT_NETWORK 1"), QByteArray("OK"));
    QTest::qWait(1500);
    QVERIFY2(shows(office, hang_limit_ms(1000)), records.constData());
    records.replace('x', "");
    // A STATUS sent while the daemon shuts down goes unanswered for one request's limit.
    daemon.stop();
    QVERIFY2(shows("{\"state\":\"UNREACHABLE\"}", hang_limit_ms(3000)), records.constData());
    QCOMPARE(daemon.start(), QString());
    // At the next tick.
    QVERIFY2(shows(home, hang_limit_ms(1000)), records.constData());
    const qint64 pid = tool.pid();
    ::kill(tool.pid(), SIGTERM);
    QByteArray rest, err;
    QCOMPARE(tool.finish(rest, err, hang_limit_ms(0)), 143);
    ::close(filler);
    ::close(reader);
    QCOMPARE(err.count("vantrel-wifi: "), 1);
    QCOMPARE(leftover_sockets(pid), QStringList());
    const QByteArrayList lines = records.split('\n');
    QCOMPARE(records.count('\n'), records.count("{\"address\"") + records.count("{\"state\""));
    for (qsizetype at = 1; at < lines.size(); ++at)
        QVERIFY2(lines.at(at) != lines.at(at - 1), records.constData());
}

QTEST_GUILESS_MAIN(RealDaemonTest)
#include "real_daemon_test.moc"
