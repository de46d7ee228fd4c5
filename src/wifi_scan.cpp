#include "wifi_credentials.h"
#include "wifi_profiles.h"

#include <QElapsedTimer>

#include <algorithm>
#include <memory>

namespace vtl::wifi {
namespace {

// A scan line holds a 17-byte BSSID, two numbers, the flags and an SSID of at
// most 128 escaped bytes: with every flag group the daemon writes it stays
// under 1 KiB.
constexpr int longest_scan_line = 1024;

// A scan the daemon has said is running may take this long before its
// results are read anyway.
constexpr int longest_scan_ms = 10000;

bool busy(const QByteArray& reply)
{
    return reply.startsWith("FAIL-BUSY");
}

// The daemon's events, when it will send them; a daemon that refuses
// ATTACH, or a socket that cannot be made, leaves the fixed delay.
std::unique_ptr<Events> listen_for_scan(const QByteArray& server)
{
    try {
        return std::make_unique<Events>(server);
    } catch (const Interrupted&) {
        throw;
    } catch (const std::runtime_error&) {
        return nullptr;
    }
}

// Until the daemon says the scan ended; without a word from it, the scan
// delay; once it has said a scan runs, as long as that may take. Measured
// from the request.
void wait_for_scan(const Events* events, bool started, const QElapsedTimer& since)
{
    const int delay = environment_milliseconds("VANTREL_WIFI_SCAN_DELAY_MS", 1400);
    if (delay > 0 || (events && started))
        announce(Waiting::Scan);
    if (!events) {
        pause_for(delay);
        return;
    }
    for (;;) {
        const qint64 until = started ? std::max(delay, longest_scan_ms) : delay;
        const std::optional<QByteArray> event = events->next(int(std::max<qint64>(until - since.elapsed(), 0)));
        if (!event)
            return;
        const QByteArray text = event_text(*event);
        if (text.startsWith("CTRL-EVENT-SCAN-RESULTS") || text.startsWith("CTRL-EVENT-SCAN-FAILED"))
            return;
        started = started || text.startsWith("CTRL-EVENT-SCAN-STARTED");
    }
}

// Starts a scan with `request` and, unless it is refused, waits for it; the
// reply is the caller's to judge. A scan already running (FAIL-BUSY) is waited for too.
QByteArray scan(const Client& client, const QByteArray& server, const QByteArray& request)
{
    const std::unique_ptr<Events> events = listen_for_scan(server);
    QElapsedTimer since;
    since.start();
    const QByteArray reply = client.command(request, reply_timeout_ms);
    if (reply == "OK" || busy(reply))
        wait_for_scan(events.get(), busy(reply), since);
    return reply;
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
        const QByteArray reply = vtl::wifi::scan(*this, socket_path_, "SCAN");
        // A scan already running serves as well as a new one.
        if (!busy(reply))
            require_ok(reply, "start Wi-Fi scan");
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
    QByteArray reply = vtl::wifi::scan(*this, socket_path_, request);
    if (busy(reply))
        reply = vtl::wifi::scan(*this, socket_path_, request);
    if (!busy(reply))
        require_ok(reply, "start Wi-Fi scan");
}

} // namespace vtl::wifi
