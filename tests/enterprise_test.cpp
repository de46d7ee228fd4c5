#include "support/child_process.h"
#include "support/fake_daemon.h"
#include "support/real_daemon.h"
#include "support/tool_run.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

#include <unistd.h>

namespace {

QString program(const char* name)
{
    return QStandardPaths::findExecutable(QString::fromLatin1(name),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                           QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
}

// A real 802.1X authenticator: hostapd's own EAP server on one end of a veth
// pair in a network namespace of its own, with a CA and a server certificate
// for radius.example.org made here. The impostor has the same server name
// under another CA, and knows no password.
class Authenticator {
public:
    Authenticator()
        : name_(QStringLiteral("vtl%1").arg(::getpid())), namespace_(name_ + QStringLiteral("-eap"))
    {
        const QString work = directory_.path();
        const char* const script = R"(set -e
cd "$1"
certificate() { # name, organisation
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/C=XX/O=$2/CN=$2 Root CA" -keyout $1-ca.key -out $1-ca.pem
    openssl req -newkey rsa:2048 -nodes -subj "/C=XX/O=$2/CN=radius.example.org" -keyout $1.key -out $1.csr
    printf 'subjectAltName=DNS:radius.example.org\n' > san.cnf
    openssl x509 -req -in $1.csr -CA $1-ca.pem -CAkey $1-ca.key -CAcreateserial -days 2 -extfile san.cnf -out $1.pem
    printf 'interface=%s\ndriver=wired\nieee8021x=1\neapol_version=2\neap_server=1\neap_user_file=%s\nca_cert=%s\nserver_cert=%s\nprivate_key=%s\nctrl_interface=%s\n' \
        "$3b" "$PWD/$1.users" "$PWD/$1-ca.pem" "$PWD/$1.pem" "$PWD/$1.key" "$PWD/$1-ctrl" > $1.conf
}
certificate genuine "Vantrel Test" "$2"
certificate impostor "Evil Twin Ltd" "$2"
printf '* PEAP,TTLS\n"alice" MSCHAPV2 "alice-pass-1" [2]\n"alice@example.org" MSCHAPV2 "alice-pass-1" [2]\n"bob" TTLS-PAP "bob-pass-2" [2]\n' > genuine.users
printf '* PEAP,TTLS\n' > impostor.users
ip netns add "$3"
ip link add "$2a" type veth peer name "$2b"
ip link set "$2b" netns "$3"
ip link set "$2a" up
ip netns exec "$3" ip link set "$2b" up
)";
        const ToolRun setup = run_command({program("bash"), QStringLiteral("-c"), QString::fromLatin1(script),
                                           QStringLiteral("rig"), work, name_, namespace_},
                                          clean_environment());
        if (setup.status != 0)
            problem_ = QStringLiteral("the authenticator could not be set up: ") + QString::fromUtf8(setup.err);
    }
    ~Authenticator()
    {
        stop();
        run_command({program("ip"), QStringLiteral("link"), QStringLiteral("del"), interface()}, clean_environment());
        run_command({program("ip"), QStringLiteral("netns"), QStringLiteral("del"), namespace_}, clean_environment());
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
            QStringList{program("ip"), QStringLiteral("netns"), QStringLiteral("exec"), namespace_, program("hostapd"),
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
        QDir(file(QStringLiteral("genuine-ctrl"))).removeRecursively();
        QDir(file(QStringLiteral("impostor-ctrl"))).removeRecursively();
    }

private:
    QTemporaryDir directory_;
    QString name_;
    QString namespace_;
    QString problem_;
    std::unique_ptr<ChildProcess> hostapd_;
};

const QByteArray scanned = "bssid / frequency / signal level / flags / ssid\n"
                           "02:00:00:00:00:07\t2412\t-40\t[WPA2-EAP-CCMP][ESS]\tCorp\n";

} // namespace

class EnterpriseTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void joins_data();
    void joins();

private:
    std::unique_ptr<Authenticator> authenticator_;
};

void EnterpriseTest::initTestCase()
{
    for (const char* needed : {"hostapd", "openssl", "ip", "wpa_supplicant"})
        QVERIFY2(!program(needed).isEmpty(), needed);
    authenticator_ = std::make_unique<Authenticator>();
    QVERIFY2(authenticator_->problem().isEmpty(), qPrintable(authenticator_->problem()));
}

// In the arguments "{peap}" stands for a PEAP join of alice checked by the
// genuine CA and example.org, "{ca}" for the genuine CA's file and "{rogue}"
// for the impostor's. A row without saved lines must change nothing.
void EnterpriseTest::joins_data()
{
    QTest::addColumn<QString>("authenticator");
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("err"); // after the prompts, if any
    QTest::addColumn<QByteArrayList>("saved"); // lines of the new block, "CA" the genuine CA's file
    QTest::addColumn<QByteArray>("profile");   // in the daemon's file to begin with
    const char* subject = "Could not verify the network's server: ";
    const QByteArray old = "network={\nssid=\"Corp\"\nkey_mgmt=IEEE8021X\neap=PEAP\nidentity=\"alice\"\npassword=\"old\"\n"
                           "phase2=\"auth=MSCHAPV2\"\npriority=4\ndisabled=1\nca_cert=\"CA\"\n";
    const struct {
        const char* name;
        const char* authenticator;
        const char* arguments;
        const char* input;
        QByteArray err;
        QByteArrayList saved;
        QByteArray profile;
    } rows[] = {
        {"PEAP/MSCHAPv2 joins and saves", "genuine", "{peap} --password-stdin Corp", "alice-pass-1\n", "",
         {"ssid=\"Corp\"", "key_mgmt=IEEE8021X", "eap=PEAP", "identity=\"alice\"", "password=\"alice-pass-1\"",
          "ca_cert=\"CA\"", "domain_suffix_match=\"example.org\"", "phase2=\"auth=MSCHAPV2\"", "ieee80211w=1"}, ""},
        {"TTLS/PAP joins", "genuine",
         "connect --eap ttls --phase2 pap --identity bob --anonymous-identity x@example.org --domain radius.example.org "
         "--ca-cert {ca} --password-stdin Corp",
         "bob-pass-2\n", "",
         {"eap=TTLS", "identity=\"bob\"", "anonymous_identity=\"x@example.org\"", "phase2=\"auth=PAP\""}, ""},
        {"another domain", "genuine",
         "connect --eap peap --identity alice --domain example.com --ca-cert {ca} --password-stdin Corp", "alice-pass-1\n",
         subject + QByteArray("Domain suffix mismatch (it presented /C=XX/O=Vantrel Test/CN=radius.example.org)."), {}, ""},
        {"a CA that did not sign the server", "genuine",
         "connect --eap peap --identity alice --domain example.org --ca-cert {rogue} --password-stdin Corp",
         "alice-pass-1\n",
         subject + QByteArray("self-signed certificate in certificate chain "
                              "(it presented /C=XX/O=Vantrel Test/CN=Vantrel Test Root CA)."), {}, ""},
        {"a wrong password", "genuine", "{peap} --password-stdin Corp", "alice-pass-2\n",
         "The network refused the identity or password.", {}, ""},
        {"an impostor learns no secret", "impostor", "{peap} --anonymous-identity outer@example.org --password-stdin Corp",
         "alice-pass-1\n",
         subject + QByteArray("self-signed certificate in certificate chain "
                              "(it presented /C=XX/O=Evil Twin Ltd/CN=Evil Twin Ltd Root CA)."), {}, ""},
        {"a missing CA file, before any change", "genuine",
         "connect --eap peap --identity a --domain example.org --ca-cert /nonexistent/ca.pem --password-stdin Corp",
         "alice-pass-1\n", "Could not read a CA certificate from /nonexistent/ca.pem.", {}, ""},
        {"pick: PEAP by the CA bundle", "genuine", "pick", "1\nalice@example.org\nexample.org\nalice-pass-1\n",
         "Network number: Identity: Server domain: Wi-Fi password: ",
         {"identity=\"alice@example.org\"", "anonymous_identity=\"anonymous@example.org\"", "ca_cert=\"CA\""}, ""},
        {"password keeps the method, identity and server check", "genuine", "password Corp", "alice-pass-1\n", "",
         {"password=\"alice-pass-1\"", "ca_cert=\"CA\"", "domain_suffix_match=\"example.org\"", "priority=4"},
         old + "domain_suffix_match=\"example.org\"\n}\n"},
        {"password of a profile without a server check", "genuine", "password Corp", "alice-pass-1\n",
         "Corp has no server check; forget it and join it again with connect.", {}, old + "}\n"},
    };
    for (const auto& row : rows) {
        QTest::newRow(row.name) << QString::fromLatin1(row.authenticator)
                                << QString::fromLatin1(row.arguments)
                                       .replace(QLatin1String("{peap}"),
                                                QLatin1String("connect --eap peap --identity alice --domain example.org "
                                                              "--ca-cert {ca}"))
                                << QByteArray(row.input) << row.err << row.saved << row.profile;
    }
}

void EnterpriseTest::joins()
{
    QFETCH(QString, authenticator);
    QFETCH(QString, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, err);
    QFETCH(QByteArrayList, saved);
    QFETCH(QByteArray, profile);
    const QString ca = authenticator_->file(QStringLiteral("genuine-ca.pem"));
    arguments.replace(QLatin1String("{rogue}"), authenticator_->file(QStringLiteral("impostor-ca.pem")))
        .replace(QLatin1String("{ca}"), ca);
    const QString problem = authenticator_->serve(authenticator);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    RealDaemon daemon("eapol_version=2\n" + profile.replace("\"CA\"", '"' + ca.toUtf8() + '"'),
                      authenticator_->interface());
    const QString started = daemon.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    const QByteArray table = daemon.ask("LIST_NETWORKS");
    const QByteArray config = daemon.config();

    // Only what a wire cannot do is stood in for: the scan, and the Wi-Fi key
    // management, whose 4-way handshake never comes on a wire.
    FakeDaemon proxy;
    proxy.reply("SCAN", "OK");
    proxy.reply("SCAN_RESULTS", scanned);
    proxy.translate(" key_mgmt WPA-EAP WPA-EAP-SHA256", " key_mgmt IEEE8021X");
    proxy.forward_to(daemon.socket_path());
    QElapsedTimer timer;
    timer.start();
    const ToolRun run = run_wifi(wifi_environment(proxy.path(), {QStringLiteral("VANTREL_WIFI_SCAN_DELAY_MS=0"),
                                                                 QStringLiteral("VANTREL_CA_BUNDLE=") + ca}),
                                 words(arguments.toUtf8().constData()), input);
    authenticator_->stop();
    QCOMPARE(run.err, saved.isEmpty() ? "vantrel-wifi: " + err + '\n' : err);
    QCOMPARE(run.status, saved.isEmpty() ? 1 : 0);
    // EAP starts about 2 s after the selection on a wire; the outcome follows within a few ms.
    QVERIFY2(timer.elapsed() < 8000, "each outcome within 5 s of the start of EAP");
    QCOMPARE(leftover_sockets(run.pid), QStringList());
    QVERIFY(saved.isEmpty() ? run.out.isEmpty() : run.out.endsWith("Connected to Corp.\n"));
    if (saved.isEmpty()) {
        QCOMPARE(daemon.ask("LIST_NETWORKS"), table);
        QCOMPARE(daemon.config(), config);
    } else {
        QCOMPARE(changing(proxy.requests()).count("SAVE_CONFIG"), 1);
        QCOMPARE(daemon.config().count("network={"), 1); // an old profile replaced
        for (const QByteArray& line : saved)
            QVERIFY2(daemon.config().contains('\t' + QByteArray(line).replace("\"CA\"", '"' + ca.toUtf8() + '"') + '\n'),
                     line.constData());
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

QTEST_GUILESS_MAIN(EnterpriseTest)
#include "enterprise_test.moc"
