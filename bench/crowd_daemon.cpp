// Scripted daemons for the benchmark: a crowded place, 200 access points
// that the daemon's SCAN_RESULTS cannot hold in one reply. The first answers
// no ATTACH, as the wired driver's daemon sends no scan events; the second
// and third say a scan started at once and ended after 300 ms or 3 s, having
// found ten more networks (New000 to New009). Prints their socket paths,
// one a line, then serves until its standard input closes.
#include "../tests/support/fake_daemon.h"

#include <iostream>
#include <memory>
#include <string>

namespace {

std::unique_ptr<FakeDaemon> crowded_place(int scan_ms)
{
    auto daemon = std::make_unique<FakeDaemon>();
    daemon->hold(crowded_table(200));
    daemon->reply("LIST_NETWORKS", "network id / ssid / bssid / flags\n");
    daemon->reply("STATUS", "wpa_state=DISCONNECTED\nip_address=127.0.0.1\n");
    if (scan_ms > 0) {
        QList<FakeDaemon::AccessPoint> found = crowded_table(200);
        for (int index = 0; index < 10; ++index)
            found.append({"02:00:00:01:00:0" + QByteArray::number(index), 5180, -60, "[WPA2-PSK-CCMP][ESS]",
                          "New00" + QByteArray::number(index)});
        daemon->reply("ATTACH", "OK\n");
        daemon->reply("SCAN", "OK\n");
        daemon->announce("SCAN", {{0, "<3>CTRL-EVENT-SCAN-STARTED "}, {scan_ms, "<3>CTRL-EVENT-SCAN-RESULTS ", false, found}});
    }
    return daemon;
}

} // namespace

int main()
{
    const std::unique_ptr<FakeDaemon> daemons[] = {crowded_place(0), crowded_place(300), crowded_place(3000)};
    for (const auto& daemon : daemons)
        std::cout << daemon->path().toStdString() << '\n';
    std::cout << std::flush;
    for (std::string line; std::getline(std::cin, line);) {
    }
    return 0;
}
