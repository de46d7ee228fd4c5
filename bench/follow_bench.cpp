// status --follow measured against a scripted daemon: the CPU an idle
// follower uses in 60 s at the default interval, the time from an event that
// changes the link to its record on the reader, and the follower's resident
// size after 100 events and after 100 000 (50 000 changes of the link).
// Prints one line per figure. The argument: the vantrel-wifi program.
#include "../tests/support/child_process.h"
#include "../tests/support/fake_daemon.h"

#include "vtl/wifi.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QByteArray joined = "wpa_state=COMPLETED\nssid=Home\nid=0\nip_address=10.0.0.7\n";
const QByteArray left = "wpa_state=DISCONNECTED\nip_address=10.0.0.7\n";

// Another client's request that makes the daemon tell its attached clients, in two
// events as the daemon does, that the link changed.
constexpr char trigger[] = "CHANGE";

// User and system time together, from /proc/PID/schedstat: in nanoseconds,
// where /proc/PID/stat counts 10 ms ticks.
double cpu_ms(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/schedstat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    return stat.readAll().split(' ').first().toDouble() / 1e6;
}

qint64 resident_kib(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

struct Follower {
    FakeDaemon daemon;
    std::unique_ptr<ChildProcess> tool;
    QByteArray records;
    bool up = true;

    Follower(const char* program, const QStringList& settings)
    {
        daemon.reply("ATTACH", "OK\n");
        daemon.reply("STATUS", joined);
        daemon.reply(trigger, "OK\n");
        daemon.announce(trigger, {{0, "<3>CTRL-EVENT-DISCONNECTED bssid=02:00:00:00:00:01 reason=3"},
                                  {0, "<3>CTRL-EVENT-DSCP-POLICY clear_all"}});
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("VANTREL_WPA_SOCKET"), daemon.path());
        for (const QString& setting : settings)
            environment.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
        tool = std::make_unique<ChildProcess>(QStringList{QString::fromLocal8Bit(program), QStringLiteral("status"),
                                                          QStringLiteral("--follow"), QStringLiteral("--json")},
                                              environment);
        tool->read_output(records, 1, 5000);
    }
    // Flips the link and waits for its record; the milliseconds that took.
    double change()
    {
        up = !up;
        daemon.reply("STATUS", up ? joined : left);
        const qsizetype before = records.size();
        QElapsedTimer timer;
        timer.start();
        vtl::wifi::Client(daemon.path()).command(trigger, 3000);
        while (!records.endsWith('\n') || records.size() == before)
            tool->read_output(records, records.size() + 1, 3000);
        records = records.right(512);
        return double(timer.nsecsElapsed()) / 1e6;
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    {
        Follower idle(argv[1], {});
        const double before = cpu_ms(idle.tool->pid());
        QThread::sleep(60);
        std::printf("idle follower, 60 s at the default interval: %.1f ms of CPU\n", cpu_ms(idle.tool->pid()) - before);
    }
    Follower busy(argv[1], {QStringLiteral("VANTREL_WIFI_FOLLOW_INTERVAL_MS=60000")});
    std::vector<double> latencies;
    for (int change = 0; change < 50; ++change)
        latencies.push_back(busy.change());
    std::sort(latencies.begin(), latencies.end());
    std::printf("event to record on the reader: median %.2f ms\n", latencies[latencies.size() / 2]);
    const qint64 early = resident_kib(busy.tool->pid());
    for (int change = 50; change < 50000; ++change)
        busy.change();
    std::printf("resident size after 100 events %lld KiB, after 100 000 %lld KiB\n", qlonglong(early),
                qlonglong(resident_kib(busy.tool->pid())));
    return 0;
}
