// A scripted daemon for the benchmark: a crowded place, 200 access points
// that the daemon's SCAN_RESULTS cannot hold in one reply. Prints its socket
// path, then serves until its standard input closes.
#include "../tests/support/fake_daemon.h"

#include <iostream>
#include <string>

int main()
{
    FakeDaemon daemon;
    daemon.hold(crowded_table(200));
    daemon.reply("LIST_NETWORKS", "network id / ssid / bssid / flags\n");
    daemon.reply("STATUS", "wpa_state=DISCONNECTED\nip_address=127.0.0.1\n");
    std::cout << daemon.path().toStdString() << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
    }
    return 0;
}
