#include "support/test_files.h"

#include "vtl/battery.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <string>

using vtl::BatteryInfo;

namespace {

using Supplies = QList<QPair<QString, QStringList>>; // name, then attribute=value pairs

// A power-supply class laid out as sysfs does: each supply a symbolic link
// to a directory elsewhere, each attribute one line ending in a newline.
QString build_tree(const QTemporaryDir& directory, const Supplies& supplies)
{
    const QString root = directory.filePath(QStringLiteral("power_supply"));
    QDir().mkpath(root);
    for (const auto& [name, attributes] : supplies) {
        const QString device = directory.filePath(QStringLiteral("devices/") + name);
        QDir().mkpath(device);
        for (const QString& attribute : attributes) {
            const QByteArray value = attribute.section(QLatin1Char('='), 1).toUtf8();
            make_file(device + QLatin1Char('/') + attribute.section(QLatin1Char('='), 0, 0),
                      special_file(value) ? value : value + '\n');
        }
        QFile::link(device, root + QLatin1Char('/') + name);
    }
    return root;
}

QStringList attributes(const char* text)
{
    return QString::fromUtf8(text).split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

BatteryInfo battery(int percent, const char* status)
{
    BatteryInfo info;
    info.percent = percent;
    info.status = QString::fromUtf8(status);
    return info;
}

} // namespace

class BatteryTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void chooses_supply_data();
    void chooses_supply();
    void reads_nothing_from_a_missing_root();
    void takes_root_from_environment();
    void renders_data();
    void renders();
};

void BatteryTest::chooses_supply_data()
{
    QTest::addColumn<Supplies>("supplies");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("status");

    const auto supply = [](const char* name, const char* text) {
        return qMakePair(QString::fromUtf8(name), attributes(text));
    };
    QTest::newRow("no supplies") << Supplies() << -1 << "";
    QTest::newRow("mains and battery")
        << Supplies{supply("AC", "type=Mains;online=1"), supply("BAT0", "type=Battery;capacity=57;status=Discharging")}
        << 57 << "Discharging";
    QTest::newRow("battery preferred over an earlier USB supply")
        << Supplies{supply("AAA-usb", "type=USB;capacity=40;status=Charging"), supply("BAT0", "type=Battery;capacity=90")}
        << 90 << "";
    QTest::newRow("USB alone") << Supplies{supply("AAA-usb", "type=USB;capacity=40;status=Charging")} << 40
                               << "Charging";
    QTest::newRow("first of two other supplies stays")
        << Supplies{supply("a", "type=USB;capacity=40"), supply("b", "type=Mains;capacity=70")} << 40 << "";
    QTest::newRow("first battery in name order")
        << Supplies{supply("BAT1", "type=Battery;capacity=20"), supply("BAT0", "type=Battery;capacity=10")} << 10 << "";
    QTest::newRow("names sort by case, upper first")
        << Supplies{supply("bat", "type=Battery;capacity=20"), supply("BAT", "type=Battery;capacity=30")} << 30 << "";
    QTest::newRow("absent battery skipped")
        << Supplies{supply("BAT0", "type=Battery;capacity=80;present=0"), supply("BAT1", "type=Battery;capacity=30")}
        << 30 << "";
    QTest::newRow("no present file: used") << Supplies{supply("BAT0", "type=Battery;capacity=80")} << 80 << "";
    QTest::newRow("present 1") << Supplies{supply("BAT0", "type=Battery;capacity=80;present=1")} << 80 << "";
    QTest::newRow("above 100 clamped") << Supplies{supply("BAT0", "type=Battery;capacity=105")} << 100 << "";
    QTest::newRow("below 0 clamped") << Supplies{supply("BAT0", "type=Battery;capacity=-3")} << 0 << "";
    QTest::newRow("capacity abc") << Supplies{supply("BAT0", "type=Battery;capacity=abc;status=Full")} << -1 << "";
    QTest::newRow("capacity 12.5") << Supplies{supply("BAT0", "type=Battery;capacity=12.5")} << -1 << "";
    QTest::newRow("capacity empty") << Supplies{supply("BAT0", "type=Battery;capacity=")} << -1 << "";
    QTest::newRow("capacity beyond 32 bits") << Supplies{supply("BAT0", "type=Battery;capacity=4294967346")} << -1 << "";
    QTest::newRow("capacity just inside 32 bits") << Supplies{supply("BAT0", "type=Battery;capacity=2147483647")}
                                                  << 100 << "";
    QTest::newRow("no capacity file") << Supplies{supply("BAT0", "type=Battery;status=Full")} << -1 << "";
    QTest::newRow("unusable battery, usable USB")
        << Supplies{supply("BAT0", "type=Battery;capacity=abc"), supply("usb", "type=USB;capacity=33")} << 33 << "";
    QTest::newRow("type in lower case") << Supplies{supply("a", "type=USB;capacity=40"), supply("b", "type=battery;capacity=60")}
                                        << 60 << "";
    QTest::newRow("type in upper case") << Supplies{supply("a", "type=USB;capacity=40"), supply("b", "type=BATTERY;capacity=60")}
                                        << 60 << "";
    QTest::newRow("white space around values")
        << Supplies{supply("BAT0", "type=  Battery \t;capacity= 57 ;status=\tNot charging  ")} << 57 << "Not charging";
    QTest::newRow("capacity a FIFO: passed over at once")
        << Supplies{supply("BAT", "type=Battery;capacity=|"), supply("BAT0", "type=Battery;capacity=57")} << 57 << "";
    QTest::newRow("status a FIFO: no status") << Supplies{supply("BAT0", "type=Battery;capacity=57;status=|")} << 57
                                              << "";
    QTest::newRow("capacity without end") << Supplies{supply("BAT0", "type=Battery;capacity=->/dev/zero")} << -1 << "";
    QTest::newRow("capacity of more than a page")
        << Supplies{supply("BAT0", ("type=Battery;capacity=57" + std::string(4100, ' ')).c_str())} << -1 << "";
    QTest::newRow("capacity with a NUL")
        << Supplies{{QStringLiteral("BAT0"), {QStringLiteral("type=Battery"), QStringLiteral("capacity=50") + QChar(u'\0')
                                                                             + QStringLiteral("abc")}}}
        << -1 << "";
    QTest::newRow("hidden entries ignored") << Supplies{supply(".BAT0", "type=Battery;capacity=80")} << -1 << "";
}

void BatteryTest::chooses_supply()
{
    QFETCH(Supplies, supplies);
    const QTemporaryDir directory;
    const BatteryInfo info = vtl::read_battery(build_tree(directory, supplies));
    QTEST(info.percent, "percent");
    QTEST(info.status, "status");
}

void BatteryTest::reads_nothing_from_a_missing_root()
{
    const BatteryInfo info = vtl::read_battery(QStringLiteral("/nonexistent/power_supply"));
    QCOMPARE(info.percent, -1);
    QCOMPARE(info.status, QString());
}

void BatteryTest::takes_root_from_environment()
{
    const QTemporaryDir directory;
    const QString root = build_tree(directory, {{QStringLiteral("BAT0"), attributes("type=Battery;capacity=57")}});
    const QString working = QDir::currentPath();
    qputenv("VANTREL_BATTERY_ROOT", root.toLocal8Bit());
    const int from_variable = vtl::read_battery(QString()).percent;
    const int argument_wins = vtl::read_battery(QStringLiteral("/nonexistent")).percent;
    qputenv("VANTREL_BATTERY_ROOT", QByteArray());
    QDir::setCurrent(root);
    const int set_but_empty = vtl::read_battery(QString()).percent;
    QDir::setCurrent(working);
    qunsetenv("VANTREL_BATTERY_ROOT");
    QCOMPARE(from_variable, 57);
    QCOMPARE(argument_wins, -1);
    QCOMPARE(set_but_empty, 57);
}

void BatteryTest::renders_data()
{
    QTest::addColumn<BatteryInfo>("info");
    QTest::addColumn<QString>("percentage");
    QTest::addColumn<QString>("compact");
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("class"); // for a status bar's style sheet
    QTest::newRow("discharging") << battery(57, "Discharging") << "57%" << "Battery 57%"
                                 << "Battery: 57%\nStatus: Discharging" << "discharging";
    QTest::newRow("charging") << battery(80, "Charging") << "80%" << QString::fromUtf8("Battery 80% \xc2\xb7 charging")
                              << "Battery: 80%\nStatus: Charging" << "charging";
    QTest::newRow("charging, lower case") << battery(80, "charging") << "80%"
                                          << QString::fromUtf8("Battery 80% \xc2\xb7 charging")
                                          << "Battery: 80%\nStatus: charging" << "charging";
    QTest::newRow("full") << battery(100, "FULL") << "100%" << QString::fromUtf8("Battery 100% \xc2\xb7 full")
                          << "Battery: 100%\nStatus: FULL" << "full";
    QTest::newRow("not charging") << battery(60, "Not charging") << "60%" << "Battery 60%"
                                  << "Battery: 60%\nStatus: Not charging" << "not-charging";
    QTest::newRow("a word of another kernel") << battery(60, "Draining") << "60%" << "Battery 60%"
                                              << "Battery: 60%\nStatus: Draining" << "unknown";
    QTest::newRow("unknown") << battery(0, "unknown") << "0%" << "Battery 0%" << "Battery: 0%" << "unknown";
    QTest::newRow("Unknown") << battery(5, "Unknown") << "5%" << "Battery 5%" << "Battery: 5%" << "unknown";
    QTest::newRow("no status") << battery(5, "") << "5%" << "Battery 5%" << "Battery: 5%" << "unknown";
    QTest::newRow("unavailable") << battery(-1, "Charging") << "--" << QString::fromUtf8("Battery -- \xc2\xb7 charging")
                                 << "Battery information is unavailable." << "unknown";
}

void BatteryTest::renders()
{
    QFETCH(BatteryInfo, info);
    QTEST(info.percentage(), "percentage");
    QTEST(info.compact(), "compact");
    QTEST(info.report(), "report");
    const QJsonObject json = QJsonDocument::fromJson(vtl::status_json(info, vtl::ModemInfo(), vtl::RadioInfo())).object();
    QTEST(json.value(QLatin1String("class")).toString(), "class");
}

QTEST_GUILESS_MAIN(BatteryTest)
#include "battery_test.moc"
