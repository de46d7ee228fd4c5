#include "wifi_credentials.h"
#include "wifi_profiles.h"

namespace vtl::wifi {
namespace {

// A scan line holds a 17-byte BSSID, two numbers, the flags and an SSID of at
// most 128 escaped bytes: with every flag group the daemon writes it stays
// under 1 KiB.
constexpr int longest_scan_line = 1024;

void wait_for_scan()
{
    const int delay = environment_milliseconds("VANTREL_WIFI_SCAN_DELAY_MS", 1400);
    if (delay > 0)
        announce(Waiting::Scan);
    pause_for(delay);
}

bool busy(const QByteArray& reply)
{
    return reply.startsWith("FAIL-BUSY");
}

// Every entry of the daemon's BSS table as scan-result lines, read a page at a
// time. They join the SCAN_RESULTS lines, and the merge keeps one of each; if
// any page fails, they are left out and the list stays as SCAN_RESULTS gave it.
QByteArray bss_table(const Client& client)
{
    QByteArray lines;
    int next = 0;
    try {
        for (int pages = 0; pages < most_pages; ++pages) {
            const QByteArray reply =
                client.command("BSS RANGE=" + QByteArray::number(next) + "- MASK=0x21887", reply_timeout_ms);
            if (reply.isEmpty())
                break;
            const BssPage page = parse_bss(reply);
            if (!page.valid)
                return QByteArray();
            for (size_t entry = 0; entry < page.ids.size(); ++entry) {
                if (page.ids[entry] < next)
                    return lines; // an id that does not increase: no further page can be trusted
                next = page.ids[entry] + 1;
            }
            lines += page.lines;
            if (page.last)
                break;
        }
    } catch (const Interrupted&) {
        throw;
    } catch (const std::runtime_error&) {
        return QByteArray();
    }
    return lines;
}

} // namespace

std::vector<Network> Client::networks(bool scan) const
{
    if (scan) {
        const QByteArray reply = command("SCAN", reply_timeout_ms);
        // A scan already running serves as well as a new one.
        if (!busy(reply))
            require_ok(reply, "start Wi-Fi scan");
        wait_for_scan();
    }
    QByteArray scanned = command("SCAN_RESULTS", reply_timeout_ms);
    if (may_be_cut(scanned, longest_scan_line))
        scanned += '\n' + bss_table(*this);
    const QByteArray saved = profile_table(*this);
    return parse_networks(scanned, saved, status());
}

// A scan already running was not directed at the name: after it, once more.
void Client::scan_for(const QByteArray& ssid) const
{
    const QByteArray request = "SCAN ssid " + encode_ssid(ssid);
    QByteArray reply = command(request, reply_timeout_ms);
    if (busy(reply)) {
        wait_for_scan();
        reply = command(request, reply_timeout_ms);
    }
    if (!busy(reply))
        require_ok(reply, "start Wi-Fi scan");
    wait_for_scan();
}

} // namespace vtl::wifi
