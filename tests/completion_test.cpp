#include "support/fake_daemon.h"
#include "support/tool_run.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Names that the shell must quote, names that cannot be typed as shown, and a saved one.
const QByteArray scan_results = "bssid / frequency / signal level / flags / ssid\n"
                                "aa:01\t2412\t-40\t[ESS]\tMy Net\n"
                                "aa:02\t2412\t-45\t[ESS]\tBob's \\\"5G\\\"\n"
                                "aa:03\t2412\t-50\t[ESS]\t$HOME\n"
                                "aa:04\t2412\t-55\t[ESS]\tback\\\\slash\n"
                                "aa:05\t2412\t-60\t[ESS]\tlat\\xe9\n"
                                "aa:06\t2412\t-65\t[ESS]\tTab\\there\n"
                                "aa:07\t2412\t-70\t[ESS]\tCaf\\xc3\\xa9\n";

// Completes `words` (bash words, the last one being completed) after the shell
// code `setup`, which provides the vantrel-wifi that the script asks.
ToolRun complete(const QByteArray& words, const QString& setup, QProcessEnvironment environment)
{
    const QString script = QStringLiteral(
        "source '%1/completion/vantrel-wifi'; source '%1/completion/vantrel-battery'\n"
        "%2\n"
        "COMP_WORDS=(%3); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
        "complete -p \"${COMP_WORDS[0]}\" | { read -r _ _ function _; \"$function\" \"${COMP_WORDS[0]}\"; "
        "printf '%s\\n' \"${COMPREPLY[@]}\"; } | sed '/^$/d'\n")
        .arg(QStringLiteral(VANTREL_SOURCE_DIR), setup, QString::fromUtf8(words));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    return run_command({QStringLiteral("/bin/bash"), QStringLiteral("-c"), script}, environment);
}

} // namespace

class CompletionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void completes_data();
    void completes();
    void reads_names_not_layout_data();
    void reads_names_not_layout();
};

void CompletionTest::completes_data()
{
    QTest::addColumn<QByteArray>("words"); // COMP_WORDS as bash words, the last one being completed
    QTest::addColumn<bool>("daemon");
    QTest::addColumn<QByteArray>("replies");
    QTest::newRow("actions") << QByteArray("vantrel-wifi ''") << true
                             << QByteArray("status\nlist\npick\nconnect\nserver\ntrust\npassword\nsaved\npriority\nautojoin\ndisconnect\nforget\nhelp\n");
    QTest::newRow("an action by its start, after a flag") << QByteArray("vantrel-wifi --json di") << true
                                                          << QByteArray("disconnect\n");
    QTest::newRow("the flags of list") << QByteArray("vantrel-wifi list --") << true
                                       << QByteArray("--json\n--cached\n");
    QTest::newRow("names for connect, quoted for the shell")
        << QByteArray("vantrel-wifi connect ''") << true
        << QByteArray("My\\ Net\nOffice\nBob\\'s\\ \\\"5G\\\"\n\\$HOME\nback\\\\slash\nCaf\xc3\xa9\n");
    QTest::newRow("one name at most") << QByteArray("vantrel-wifi connect Office ''") << true << QByteArray();
    QTest::newRow("forget: saved names only") << QByteArray("vantrel-wifi forget --yes ''") << true
                                              << QByteArray("My\\ Net\nOffice\n");
    QTest::newRow("the flags of password") << QByteArray("vantrel-wifi password --") << true
                                           << QByteArray("--hidden\n--json\n");
    QTest::newRow("a saved name begun in quotes") << QByteArray("vantrel-wifi password \"'My N\"") << true
                                                  << QByteArray("My\\ Net\n");
    QTest::newRow("a name begun with a backslash") << QByteArray("vantrel-wifi connect 'back\\\\'") << true
                                                   << QByteArray("back\\\\slash\n");
    QTest::newRow("the methods after --eap") << QByteArray("vantrel-wifi connect --eap ''") << true
                                             << QByteArray("peap\nttls\ntls\n");
    QTest::newRow("an inner method by its start") << QByteArray("vantrel-wifi connect --phase2 m") << true
                                                  << QByteArray("mschapv2\n");
    QTest::newRow("no name offered as a value") << QByteArray("vantrel-wifi connect --identity ''") << true
                                                << QByteArray();
    QTest::newRow("a value is not the name")
        << QByteArray("vantrel-wifi connect --domain Office O") << true << QByteArray("Office\n");
    QTest::newRow("a key file after --private-key")
        << QByteArray("vantrel-wifi connect --private-key '" VANTREL_SOURCE_DIR "/tests/data/bun'") << true
        << QByteArray(VANTREL_SOURCE_DIR "/tests/data/bundle.p12\n");
    // A file name is one word, a space in it or not.
    static const QTemporaryDir files;
    QFile spaced(files.filePath(QStringLiteral("a b.pem")));
    QVERIFY(spaced.open(QIODevice::WriteOnly));
    QTest::newRow("a file name with a space")
        << "vantrel-wifi trust --ca-cert '" + files.filePath(QStringLiteral("a")).toUtf8() + "'" << true
        << spaced.fileName().toUtf8() + '\n';
    QTest::newRow("names for server") << QByteArray("vantrel-wifi server --json M") << true << QByteArray("My\\ Net\n");
    QTest::newRow("autojoin: on or off") << QByteArray("vantrel-wifi autojoin ''") << true << QByteArray("on\noff\n");
    QTest::newRow("autojoin off: saved names") << QByteArray("vantrel-wifi autojoin off ''") << true
                                               << QByteArray("My\\ Net\nOffice\n");
    QTest::newRow("priority: saved names") << QByteArray("vantrel-wifi priority ''") << true
                                           << QByteArray("My\\ Net\nOffice\n");
    QTest::newRow("after the name, the action's flags") << QByteArray("vantrel-wifi forget --yes Home --") << true
                                                        << QByteArray("--yes\n--json\n");
    QTest::newRow("trust: saved names only") << QByteArray("vantrel-wifi trust ''") << true << QByteArray("My\\ Net\nOffice\n");
    QTest::newRow("no names for pick") << QByteArray("vantrel-wifi pick ''") << true << QByteArray();
    QTest::newRow("no daemon: nothing, silently") << QByteArray("vantrel-wifi connect ''") << false << QByteArray();
    QTest::newRow("vantrel-battery modes") << QByteArray("vantrel-battery --p") << true
                                           << QByteArray("--percentage\n--prompt\n");
    QTest::newRow("vantrel-battery --json") << QByteArray("vantrel-battery --j") << true << QByteArray("--json\n");
    QTest::newRow("the first word's flags") << QByteArray("vantrel-wifi --v") << true << QByteArray("--version\n");
    QTest::newRow("vantrel-battery takes one") << QByteArray("vantrel-battery --prompt ''") << true << QByteArray();
}

void CompletionTest::completes()
{
    QFETCH(QByteArray, words);
    QFETCH(bool, daemon);
    FakeDaemon fake;
    fake.reply("SCAN_RESULTS", scan_results);
    fake.reply("LIST_NETWORKS", "network id / ssid / bssid / flags\n0\tOffice\tany\t\n1\tMy Net\tany\t\n");
    fake.reply("STATUS", "wpa_state=DISCONNECTED\n");
    QStringList tool;
    for (const QString& word : tool_command(QStringLiteral(VANTREL_WIFI_BINARY), QStringList()))
        tool.append(QLatin1Char('\'') + word + QLatin1Char('\''));
    const ToolRun run =
        complete(words, QStringLiteral("vantrel-wifi() { %1 \"$@\"; }").arg(tool.join(QLatin1Char(' '))),
                 wifi_environment(daemon ? fake.path() : QStringLiteral("/tmp/vantrel-no-daemon-here")));
    QTEST(run.out, "replies");
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
}

void CompletionTest::reads_names_not_layout_data()
{
    QTest::addColumn<QByteArray>("words");
    QTest::addColumn<QByteArray>("replies");
    QTest::newRow("connect") << QByteArray("vantrel-wifi connect ''")
                             << QByteArray("Zeta\\ \\\"5G\\\"\nOpen\\ Air\nPlain\n");
    QTest::newRow("forget: saved only") << QByteArray("vantrel-wifi forget --yes ''")
                                        << QByteArray("Zeta\\ \\\"5G\\\"\nPlain\n");
}

// A vantrel-wifi on PATH whose entries hold their members in another order,
// and members it may gain: the names are found all the same.
void CompletionTest::reads_names_not_layout()
{
    QFETCH(QByteArray, words);
    const QTemporaryDir bin;
    QFile stand_in(bin.filePath(QStringLiteral("vantrel-wifi")));
    QVERIFY(stand_in.open(QIODevice::WriteOnly));
    stand_in.write("#!/bin/sh\ncat <<'EOF'\n"
                   "[{\"supported\":true,\"ssid\":\"Zeta \\\"5G\\\"\",\"cert\":{\"saved\":false,\"ssid\":\"x\"},"
                   "\"tags\":[\"}\",\"saved\"],\"saved\":true},{\"saved\":false,\"ssid\":\"Open Air\",\"extra\":null},"
                   "{\"ssid\":\"Plain\",\"saved\":true}]\nEOF\n");
    stand_in.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    stand_in.close();
    const ToolRun run = complete(words, QStringLiteral("PATH='%1':$PATH").arg(bin.path()),
                                 wifi_environment(QStringLiteral("/tmp/vantrel-no-daemon-here")));
    QTEST(run.out, "replies");
    QCOMPARE(run.err, QByteArray());
}

QTEST_GUILESS_MAIN(CompletionTest)
#include "completion_test.moc"
