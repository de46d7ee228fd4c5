#include "wifi_private.h"

#include <QElapsedTimer>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <utility>

namespace vtl::wifi {
namespace {

QByteArray with_id(const char* request, int id)
{
    return QByteArray(request) + ' ' + QByteArray::number(id);
}

// Clears a profile's disabled flag without touching the association.
QByteArray enable_request(int id)
{
    return with_id("ENABLE_NETWORK", id) + " no-connect";
}

// The daemon takes every byte between the outer quotes as it stands, so the
// password goes in unchanged; only bytes that would end the request are refused.
QByteArray quote_secret(const QByteArray& password)
{
    if (password.contains('\0') || password.contains('\n') || password.contains('\r'))
        throw failure(QStringLiteral("Wi-Fi passwords cannot contain NUL or newline characters."));
    return '"' + password + '"';
}

std::runtime_error refusal(const char* operation, const QByteArray& reply)
{
    return failure(QStringLiteral("Could not %1: %2").arg(QLatin1String(operation), QString::fromUtf8(reply)));
}

int environment_milliseconds(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value >= 0 ? value : fallback;
}

int connect_timeout(int fallback)
{
    return environment_milliseconds("VANTREL_WIFI_CONNECT_TIMEOUT_MS", fallback);
}

// The daemon builds SCAN_RESULTS in a 4096-byte buffer and stops, without
// notice, after the last whole line that fits. A line holds a 17-byte BSSID,
// two numbers, the flags and an SSID of at most 128 escaped bytes: with every
// flag group the daemon writes it stays under 1 KiB. So a reply that ends
// more than 1 KiB short of the buffer is whole; any longer one may be cut.
bool may_be_cut(const QByteArray& scan_results)
{
    constexpr int reply_buffer = 4096;
    constexpr int longest_line = 1024;
    return scan_results.size() >= reply_buffer - longest_line;
}

// Far more pages than the daemon's table fills (200 entries by default); only
// a daemon answering without end could need them.
constexpr int most_bss_pages = 64;

} // namespace

// What one operation has changed in the daemon, undone newest first unless
// the operation commits. The daemon acts on a request before it answers, so
// the undo of a request is logged before it is sent and withdrawn only when
// the request never went out or was refused. Undo is best effort: a refusal
// is passed over, and the first request left unanswered ends it (a daemon that
// has stopped answering cannot be repaired, and each try costs the full wait).
// A signal does not stop it: the signal is what it answers.
class Client::Changes {
public:
    explicit Changes(const QByteArray& server) : server_(server) {}
    ~Changes()
    {
        try {
            for (auto step = steps_.rbegin(); step != steps_.rend(); ++step)
                (*step)();
        } catch (const std::exception&) {
        }
    }
    Changes(const Changes&) = delete;
    Changes& operator=(const Changes&) = delete;

    void remove_later(int id)
    {
        steps_.push_back([this, id] { undo(with_id("REMOVE_NETWORK", id)); });
    }
    void enable_later(const std::vector<int>& ids)
    {
        steps_.push_back([this, ids] {
            for (const int id : ids)
                undo(enable_request(id));
        });
    }
    // The profile that an unanswered ADD_NETWORK may have made: the one without
    // a name that was not there before.
    void remove_added_later(const std::vector<int>& before)
    {
        steps_.push_back([this, before] {
            for (const Profile& profile : parse_profiles(undo("LIST_NETWORKS"))) {
                if (profile.ssid.isEmpty() && std::find(before.begin(), before.end(), profile.id) == before.end())
                    undo(with_id("REMOVE_NETWORK", profile.id));
            }
        });
    }
    // Sends the request whose undo was logged last; withdraws that undo when
    // the request never went out.
    QByteArray send(const QByteArray& request)
    {
        bool sent = false;
        try {
            return exchange(server_, request, reply_timeout_ms, Wait::Interruptible, &sent);
        } catch (const std::runtime_error&) {
            if (!sent)
                withdraw();
            throw;
        }
    }
    void withdraw() { steps_.pop_back(); }
    void commit() { steps_.clear(); }

private:
    QByteArray undo(const QByteArray& request) const
    {
        return exchange(server_, request, reply_timeout_ms, Wait::Steady);
    }

    const QByteArray& server_;
    std::vector<std::function<void()>> steps_;
};

void Client::require_ok(const QByteArray& reply, const char* operation)
{
    if (reply != "OK")
        throw refusal(operation, reply);
}

void Client::send_expecting_ok(const QByteArray& request, const char* operation) const
{
    require_ok(command(request, reply_timeout_ms), operation);
}

Status Client::status() const
{
    return parse_status(command("STATUS", reply_timeout_ms));
}

NetworkList Client::networks(bool scan) const
{
    if (scan) {
        const QByteArray reply = command("SCAN", reply_timeout_ms);
        // A scan already running serves as well as a new one.
        if (!reply.startsWith("FAIL-BUSY"))
            require_ok(reply, "start Wi-Fi scan");
        pause_for(environment_milliseconds("VANTREL_WIFI_SCAN_DELAY_MS", 1400));
    }
    QByteArray scanned = command("SCAN_RESULTS", reply_timeout_ms);
    if (may_be_cut(scanned))
        scanned += '\n' + bss_table();
    const QByteArray saved = command("LIST_NETWORKS", reply_timeout_ms);
    NetworkList list;
    list.items = parse_networks(scanned, saved, status());
    for (const Profile& profile : parse_profiles(saved))
        list.profile_ids.push_back(profile.id);
    return list;
}

// Every entry of the daemon's BSS table as scan-result lines, read a page at a
// time. They join the SCAN_RESULTS lines, and the merge keeps one of each; if
// any page fails, they are left out and the list stays as SCAN_RESULTS gave it.
QByteArray Client::bss_table() const
{
    QByteArray lines;
    int next = 0;
    try {
        for (int pages = 0; pages < most_bss_pages; ++pages) {
            const QByteArray reply = command("BSS RANGE=" + QByteArray::number(next) + "- MASK=0x21887", reply_timeout_ms);
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

void Client::wait_connected(const QByteArray& ssid, int timeout_ms) const
{
    if (timeout_ms < 1)
        return;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeout_ms) {
        const Status current = status();
        if (current.state == QLatin1String("COMPLETED") && current.ssid_bytes == ssid)
            return;
        pause_for(400);
    }
    throw failure(QStringLiteral("Timed out connecting to %1.").arg(ssid_label(ssid)));
}

// SELECT_NETWORK disables every other profile in the daemon, and the next
// SAVE_CONFIG, ours or anyone's, would write that down: the profiles enabled
// before it are enabled again, on success and on failure alike.
std::vector<int> Client::select(Changes& changes, int id, const char* operation) const
{
    // Without the table the profiles that the selection disables could not be told.
    const QByteArray table = command("LIST_NETWORKS", reply_timeout_ms);
    if (!table.startsWith("network id"))
        throw refusal("list saved Wi-Fi networks", table);
    std::vector<int> others;
    for (const Profile& profile : parse_profiles(table)) {
        if (profile.id != id && !profile.flags.contains("[DISABLED]"))
            others.push_back(profile.id);
    }
    changes.enable_later(others); // withdrawn by enable_again
    const QByteArray reply = changes.send(with_id("SELECT_NETWORK", id));
    if (reply != "OK")
        changes.withdraw();
    require_ok(reply, operation);
    return others;
}

// On the way to success each must be done before anything is saved.
void Client::enable_again(Changes& changes, const std::vector<int>& ids) const
{
    for (const int id : ids)
        send_expecting_ok(enable_request(id), "re-enable saved Wi-Fi network");
    changes.withdraw();
}

void Client::connect_saved(int id, const QByteArray& ssid, int timeout_ms) const
{
    if (id < 0)
        throw failure(QStringLiteral("The selected network is not saved."));
    Changes changes(socket_path_);
    const std::vector<int> others = select(changes, id, "select saved Wi-Fi network");
    wait_connected(ssid, connect_timeout(timeout_ms));
    enable_again(changes, others);
    changes.commit();
}

int Client::add_profile(Changes& changes, const std::vector<int>& profile_ids) const
{
    changes.remove_added_later(profile_ids);
    const QByteArray reply = changes.send("ADD_NETWORK");
    changes.withdraw();
    bool id_ok = false;
    const int id = decimal(reply, &id_ok);
    if (!id_ok || id < 0)
        throw failure(QStringLiteral("wpa_supplicant did not create a network profile."));
    changes.remove_later(id);
    return id;
}

void Client::configure(int id, const QByteArray& ssid, Security security, const QByteArray& password) const
{
    const QByteArray set = with_id("SET_NETWORK", id);
    send_expecting_ok(set + " ssid " + encode_ssid(ssid), "set Wi-Fi network name");
    if (security == Security::Personal) {
        send_expecting_ok(set + " key_mgmt WPA-PSK", "set WPA security");
        send_expecting_ok(set + " psk " + encode_password(password), "set WPA password");
    } else {
        send_expecting_ok(set + " key_mgmt NONE", "set open-network security");
    }
    send_expecting_ok(with_id("ENABLE_NETWORK", id), "enable Wi-Fi network");
}

// The commit point: once SAVE_CONFIG is out, the daemon may be writing the
// file, and nothing can be taken back.
void Client::save(Changes& changes) const
{
    bool sent = false;
    QByteArray reply;
    try {
        reply = exchange(socket_path_, "SAVE_CONFIG", reply_timeout_ms, Wait::Interruptible, &sent);
    } catch (const std::runtime_error&) {
        if (sent)
            changes.commit();
        throw;
    }
    require_ok(reply, "save Wi-Fi network");
    changes.commit();
}

void Client::connect_new(const QByteArray& ssid, Security security, const QByteArray& password, int timeout_ms,
                         const std::vector<int>& profile_ids) const
{
    if (ssid.isEmpty())
        throw failure(QStringLiteral("The network name cannot be empty."));
    if (security == Security::Unsupported)
        throw failure(QStringLiteral("Vantrel does not configure enterprise, WEP, or SAE-only networks yet."));
    if (security == Security::Personal && (password.size() < 8 || password.size() > 63))
        throw failure(QStringLiteral("A WPA password must contain 8 to 63 UTF-8 bytes."));
    Changes changes(socket_path_);
    const int id = add_profile(changes, profile_ids);
    configure(id, ssid, security, password);
    const std::vector<int> others = select(changes, id, "select Wi-Fi network");
    wait_connected(ssid, connect_timeout(timeout_ms));
    enable_again(changes, others);
    save(changes);
}

void Client::disconnect() const
{
    send_expecting_ok("DISCONNECT", "disconnect Wi-Fi");
}

// Every profile of the name goes, or the network would stay saved. A removal
// made before a later one is refused stands: removing was the request.
void Client::forget(const QByteArray& ssid) const
{
    const QByteArray saved = command("LIST_NETWORKS", reply_timeout_ms);
    status(); // part of forget's known request sequence; only the names decide
    std::vector<int> ids;
    for (const Profile& profile : parse_profiles(saved)) {
        if (profile.ssid == ssid)
            ids.push_back(profile.id);
    }
    if (ssid.isEmpty() || ids.empty())
        throw failure(QStringLiteral("%1 is not a saved network.").arg(ssid_label(ssid)));
    for (const int id : ids)
        send_expecting_ok(with_id("REMOVE_NETWORK", id), "remove Wi-Fi network");
    send_expecting_ok("SAVE_CONFIG", "save removed Wi-Fi network");
}

QByteArray Client::encode_ssid(const QByteArray& ssid)
{
    return ssid.toHex();
}

QByteArray Client::encode_password(const QByteArray& password)
{
    return quote_secret(password);
}

} // namespace vtl::wifi
