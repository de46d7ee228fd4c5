#include "wifi_private.h"

#include <QElapsedTimer>
#include <QList>

#include <algorithm>
#include <functional>
#include <iterator>
#include <optional>
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

WaitWatcher wait_watcher = nullptr;

void announce(Waiting what, const QByteArray& ssid = QByteArray())
{
    if (wait_watcher)
        wait_watcher(what, ssid);
}

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

// GET_CAPABILITY's answer when the adapter could be asked: upper-case names
// such as WPA-PSK or IEEE8021X, one space apart.
bool lists_capabilities(const QByteArray& reply)
{
    if (reply.isEmpty() || reply.startsWith("FAIL") || reply == "UNKNOWN COMMAND")
        return false;
    for (const QByteArray& name : reply.split(' ')) {
        const bool word = !name.isEmpty() && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        });
        if (!word)
            return false;
    }
    return true;
}

// A password's length rules are the tool's: WPA's passphrase, WPA3's SAE password.
void check_password(Security security, bool sae, const QByteArray& password)
{
    if (security != Security::Personal)
        return;
    if (sae && (password.isEmpty() || password.size() > 128))
        throw failure(QStringLiteral("A WPA3 password must contain 1 to 128 bytes."));
    if (!sae && (password.size() < 8 || password.size() > 63))
        throw failure(QStringLiteral("A WPA password must contain 8 to 63 UTF-8 bytes."));
}

// The daemon builds SCAN_RESULTS and LIST_NETWORKS in a 4096-byte buffer and
// stops, without notice, after the last whole line that fits. So a reply that
// ends more than its longest line short of the buffer is whole; any longer
// one may be cut.
bool may_be_cut(const QByteArray& reply, int longest_line)
{
    constexpr int reply_buffer = 4096;
    return reply.size() >= reply_buffer - longest_line;
}

// A scan line holds a 17-byte BSSID, two numbers, the flags and an SSID of at
// most 128 escaped bytes: with every flag group the daemon writes it stays
// under 1 KiB.
constexpr int longest_scan_line = 1024;
// A profile line: an id, an SSID of at most 128 escaped bytes, "any" or a
// BSSID, and at most [CURRENT][DISABLED][TEMP-DISABLED][P2P-PERSISTENT].
constexpr int longest_profile_line = 256;

// Far more pages than the daemon's tables fill (200 scan entries by default);
// only a daemon answering without end could need them.
constexpr int most_pages = 64;

bool is_table(const QByteArray& reply)
{
    return reply.startsWith("network id");
}

using Ask = std::function<QByteArray(const QByteArray&)>;

// The whole LIST_NETWORKS table, asked for by `ask`: a page that may have been
// cut is followed by the profiles after its last id, until a page that cannot
// have been cut or one that adds no higher id. A partial table would pass for
// a whole one, so a later page that is not a table fails the read.
QByteArray whole_table(const Ask& ask)
{
    QByteArray table = ask("LIST_NETWORKS");
    QByteArray page = table;
    for (int pages = 1; pages < most_pages && may_be_cut(page, longest_profile_line); ++pages) {
        const std::vector<Profile> listed = parse_profiles(page);
        if (listed.empty())
            break;
        const int last = listed.back().id;
        page = ask("LIST_NETWORKS LAST_ID=" + QByteArray::number(last));
        if (!is_table(page))
            throw refusal("list saved Wi-Fi networks", page);
        const std::vector<Profile> more = parse_profiles(page);
        if (more.empty() || more.back().id <= last)
            break;
        table += '\n' + page;
    }
    return table;
}

// Another client may have removed a profile and added one under its id: a
// profile is touched only while its id still holds its name.
bool unchanged(const std::vector<Profile>& table, const Profile& known)
{
    return std::any_of(table.begin(), table.end(), [&known](const Profile& profile) {
        return profile.id == known.id && profile.ssid == known.ssid;
    });
}

std::vector<Profile> named(const std::vector<Profile>& table, const QByteArray& ssid)
{
    std::vector<Profile> profiles;
    std::copy_if(table.begin(), table.end(), std::back_inserter(profiles),
                 [&ssid](const Profile& profile) { return profile.ssid == ssid; });
    return profiles;
}

bool disabled(const Profile& profile)
{
    return profile.flags.contains("[DISABLED]");
}

} // namespace

// What one operation has changed in the daemon, undone newest first unless
// the operation commits. The daemon acts on a request before it answers, so
// the undo of a request is logged before it is sent and withdrawn only when
// the request never went out or was refused. Undo is best effort: a refusal
// is passed over, and so is a request left unanswered (a busy daemon answers
// late; a datagram may be lost), but a daemon that is gone, or has left two
// requests in a row unanswered, is not asked again. Before it touches an id,
// undo reads the table once and touches only profiles that still hold their
// names. A signal does not stop it: the signal is what it answers. Once
// committed, the operation finishes, and the signals held meanwhile are
// released only as it ends.
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
        release_signals();
    }
    Changes(const Changes&) = delete;
    Changes& operator=(const Changes&) = delete;

    // A profile this run created, named `ssid` or not named yet.
    void remove_later(int id, const QByteArray& ssid)
    {
        steps_.push_back([this, id, ssid] {
            const std::vector<Profile>* table = fresh_table();
            if (table && (unchanged(*table, {id, ssid, {}}) || unchanged(*table, {id, {}, {}})))
                undo(with_id("REMOVE_NETWORK", id));
        });
    }
    // What a selection disabled: the others that were enabled, and the chosen
    // profile's own flag. Without a table the others are enabled all the same.
    void unselect_later(const std::vector<Profile>& others, const std::optional<Profile>& chosen_disabled)
    {
        steps_.push_back([this, others, chosen_disabled] {
            const std::vector<Profile>* table = others.empty() && !chosen_disabled ? nullptr : fresh_table();
            for (const Profile& profile : others) {
                if (!table || unchanged(*table, profile))
                    undo(enable_request(profile.id));
            }
            if (chosen_disabled && table && unchanged(*table, *chosen_disabled))
                undo(with_id("DISABLE_NETWORK", chosen_disabled->id));
        });
    }
    // The profile that an unanswered ADD_NETWORK may have made: the one without
    // a name that was not there before. If several appeared, another client is
    // making one too, and none is taken.
    void remove_added_later(const std::vector<Profile>& before)
    {
        steps_.push_back([this, before] {
            const std::vector<Profile>* table = fresh_table();
            if (!table)
                return;
            std::vector<int> added;
            for (const Profile& profile : *table) {
                const bool known = std::any_of(before.begin(), before.end(),
                                               [&profile](const Profile& old) { return old.id == profile.id; });
                if (profile.ssid.isEmpty() && !known)
                    added.push_back(profile.id);
            }
            if (added.size() == 1)
                undo(with_id("REMOVE_NETWORK", added.front()));
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
    void commit()
    {
        steps_.clear();
        committed_ = true;
    }
    bool committed() const { return committed_; }

private:
    // The table as undo began, read once, when a step first needs it; asked
    // again after a lost reply. nullptr: it could not be read.
    const std::vector<Profile>* fresh_table()
    {
        if (table_read_)
            return table_ ? &*table_ : nullptr;
        table_read_ = true;
        bool answered = true;
        const Ask ask = [this, &answered](const QByteArray& request) {
            const std::optional<QByteArray> reply = undo(request);
            answered = reply.has_value();
            if (!answered)
                throw failure(QString());
            return *reply;
        };
        for (int tries = 0; tries < 2; ++tries) {
            try {
                const QByteArray table = whole_table(ask);
                if (!is_table(table))
                    return nullptr;
                table_ = parse_profiles(table);
                return &*table_;
            } catch (const std::runtime_error&) {
                if (answered)
                    return nullptr;
            }
        }
        return nullptr;
    }
    // Nothing when the request got no reply or the daemon is not asked again.
    std::optional<QByteArray> undo(const QByteArray& request)
    {
        constexpr int most_unanswered = 2;
        if (unanswered_ >= most_unanswered)
            return std::nullopt;
        try {
            const QByteArray reply = exchange(server_, request, reply_timeout_ms, Wait::Steady);
            unanswered_ = 0;
            return reply;
        } catch (const NoReply&) {
            ++unanswered_;
        } catch (const std::runtime_error&) {
            unanswered_ = most_unanswered; // gone: no socket, or nobody reading it
        }
        return std::nullopt;
    }

    const QByteArray& server_;
    std::vector<std::function<void()>> steps_;
    bool table_read_ = false;
    std::optional<std::vector<Profile>> table_;
    int unanswered_ = 0;
    bool committed_ = false;
};

std::runtime_error not_saved(const QByteArray& ssid)
{
    return failure(QStringLiteral("%1 is not a saved network.").arg(ssid_label(ssid)));
}

void watch_waits(WaitWatcher watcher) noexcept
{
    wait_watcher = watcher;
}

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

QByteArray Client::table() const
{
    return whole_table([this](const QByteArray& request) { return command(request, reply_timeout_ms); });
}

// Without the whole table the profiles an action touches could not be told.
std::vector<Profile> Client::profiles() const
{
    const QByteArray text = table();
    if (!is_table(text))
        throw refusal("list saved Wi-Fi networks", text);
    return parse_profiles(text);
}

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
        scanned += '\n' + bss_table();
    const QByteArray saved = table();
    return parse_networks(scanned, saved, status());
}

// Every entry of the daemon's BSS table as scan-result lines, read a page at a
// time. They join the SCAN_RESULTS lines, and the merge keeps one of each; if
// any page fails, they are left out and the list stays as SCAN_RESULTS gave it.
QByteArray Client::bss_table() const
{
    QByteArray lines;
    int next = 0;
    try {
        for (int pages = 0; pages < most_pages; ++pages) {
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
    announce(Waiting::Association, ssid);
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
// before it are enabled again, on success and on failure alike. It enables
// the chosen one too, which failure disables again if it was disabled.
std::vector<Profile> Client::select(Changes& changes, const Profile& chosen, const char* operation) const
{
    const std::vector<Profile> table = profiles();
    if (!unchanged(table, chosen))
        throw failure(QStringLiteral("The selected network is not saved."));
    std::vector<Profile> others;
    std::optional<Profile> chosen_disabled;
    for (const Profile& profile : table) {
        if (profile.id == chosen.id && disabled(profile))
            chosen_disabled = profile;
        else if (profile.id != chosen.id && !disabled(profile))
            others.push_back(profile);
    }
    changes.unselect_later(others, chosen_disabled); // withdrawn by enable_again
    const QByteArray reply = changes.send(with_id("SELECT_NETWORK", chosen.id));
    if (reply != "OK")
        changes.withdraw();
    require_ok(reply, operation);
    return others;
}

// On the way to success each must be done before anything is saved; a
// profile that another client has removed or replaced meanwhile is left alone.
void Client::enable_again(Changes& changes, const std::vector<Profile>& others) const
{
    if (!others.empty()) {
        const std::vector<Profile> table = profiles();
        for (const Profile& profile : others) {
            if (unchanged(table, profile))
                send_expecting_ok(enable_request(profile.id), "re-enable saved Wi-Fi network");
        }
    }
    changes.withdraw();
}

void Client::connect_saved(int id, const QByteArray& ssid, int timeout_ms) const
{
    if (id < 0)
        throw failure(QStringLiteral("The selected network is not saved."));
    Changes changes(socket_path_);
    const std::vector<Profile> others = select(changes, {id, ssid, {}}, "select saved Wi-Fi network");
    wait_connected(ssid, connect_timeout(timeout_ms));
    enable_again(changes, others);
    changes.commit();
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

void Client::require_wpa3() const
{
    // The strict form answers only what the driver reported, never a built-in guess.
    const QByteArray reply = command("GET_CAPABILITY key_mgmt strict", reply_timeout_ms);
    if (lists_capabilities(reply) && !reply.split(' ').contains("SAE"))
        throw failure(QStringLiteral("This Wi-Fi adapter does not support WPA3."));
}

// `before` is the table read just before the add: if its reply is lost, the
// new profile is the unnamed one that was not there.
int Client::add_profile(Changes& changes, const std::vector<Profile>& before, const QByteArray& ssid) const
{
    changes.remove_added_later(before);
    const QByteArray reply = changes.send("ADD_NETWORK");
    changes.withdraw();
    bool id_ok = false;
    const int id = decimal(reply, &id_ok);
    if (!id_ok || id < 0)
        throw failure(QStringLiteral("wpa_supplicant did not create a network profile."));
    changes.remove_later(id, ssid);
    return id;
}

void Client::configure(int id, const QByteArray& ssid, Security security, const QByteArray& password,
                       const ProfileOptions& options) const
{
    const QByteArray set = with_id("SET_NETWORK", id);
    send_expecting_ok(set + " ssid " + encode_ssid(ssid), "set Wi-Fi network name");
    if (security == Security::Personal && options.sae) {
        // WPA3 demands management-frame protection.
        send_expecting_ok(set + " key_mgmt SAE", "set WPA3 security");
        send_expecting_ok(set + " ieee80211w 2", "set WPA3 security");
        send_expecting_ok(set + " sae_password " + encode_password(password), "set WPA3 password");
    } else if (security == Security::Personal) {
        send_expecting_ok(set + " key_mgmt WPA-PSK", "set WPA security");
        send_expecting_ok(set + " psk " + encode_password(password), "set WPA password");
    } else {
        send_expecting_ok(set + " key_mgmt NONE", "set open-network security");
    }
    if (options.hidden)
        send_expecting_ok(set + " scan_ssid 1", "set hidden Wi-Fi network");
    if (options.priority != 0)
        send_expecting_ok(set + " priority " + QByteArray::number(options.priority), "set Wi-Fi network priority");
    send_expecting_ok(with_id("ENABLE_NETWORK", id), "enable Wi-Fi network");
}

// A number field of a saved profile; 0, the daemon's default, when it gives none.
int Client::profile_number(int id, const char* field) const
{
    bool ok = false;
    const int value = decimal(command(with_id("GET_NETWORK", id) + ' ' + field, reply_timeout_ms), &ok);
    return ok ? value : 0;
}

// A request that may pass the point of no return: once it is out, the daemon
// may have acted on it (writing the file, removing an old profile), and
// nothing can be taken back. A failure after sending commits; the reply is
// the caller's to judge.
QByteArray Client::send_committing(Changes& changes, const QByteArray& request) const
{
    bool sent = false;
    try {
        return exchange(socket_path_, request, reply_timeout_ms, Wait::Committing, &sent);
    } catch (const std::runtime_error&) {
        if (sent)
            changes.commit();
        throw;
    }
}

// Saving commits. Once committed, a save whose reply was lost is asked once
// more (the daemon writes the same file); a second silence is the daemon gone.
void Client::save(Changes& changes, const char* operation) const
{
    QByteArray reply;
    try {
        reply = send_committing(changes, "SAVE_CONFIG");
    } catch (const NoReply&) {
        if (!changes.committed())
            throw;
        reply = command("SAVE_CONFIG", reply_timeout_ms);
    }
    require_ok(reply, operation);
    changes.commit();
}

// Removes `targets`, profiles of one name as `table` showed them. A removed
// profile cannot be put back (its secret is not given out), so the first
// removal sent commits, unless it is refused and the profile is still there:
// then nothing has changed. From there every target is tried: after a lost
// reply or a refusal the table is read again, a profile no longer there under
// its name counts as removed, and one still there is passed over, its failure
// returned for the caller to report once it has saved.
std::optional<std::runtime_error> Client::remove_profiles(Changes& changes, std::vector<Profile> table,
                                                           const std::vector<Profile>& targets) const
{
    std::optional<std::runtime_error> first_failure;
    for (const Profile& target : targets) {
        if (!unchanged(table, target))
            continue;
        std::optional<std::runtime_error> failed;
        try {
            const QByteArray reply = send_committing(changes, with_id("REMOVE_NETWORK", target.id));
            if (reply == "OK") {
                changes.commit();
                continue;
            }
            failed = refusal("remove Wi-Fi network", reply);
        } catch (const NoReply& lost) {
            if (!changes.committed())
                throw;
            failed = lost;
        }
        table = profiles();
        if (!unchanged(table, target)) {
            changes.commit();
            continue;
        }
        if (!changes.committed())
            throw *failed;
        if (!first_failure)
            first_failure = failed;
    }
    return first_failure;
}

void Client::connect_new(const QByteArray& ssid, Security security, const QByteArray& password, int timeout_ms,
                         const ProfileOptions& options) const
{
    if (ssid.isEmpty())
        throw failure(QStringLiteral("The network name cannot be empty."));
    if (security == Security::Unsupported)
        throw failure(QStringLiteral("Vantrel does not configure enterprise or WEP networks yet."));
    check_password(security, options.sae, password);
    Changes changes(socket_path_);
    const int id = add_profile(changes, profiles(), ssid);
    configure(id, ssid, security, password, options);
    const std::vector<Profile> others = select(changes, {id, ssid, {}}, "select Wi-Fi network");
    wait_connected(ssid, connect_timeout(timeout_ms));
    enable_again(changes, others);
    save(changes, "save Wi-Fi network");
}

// The old secret cannot be read back, so the new profile must work before any
// old one goes: up to the first removal, failure undoes everything; from it,
// the old profiles are removed and the result saved.
void Client::replace_password(const QByteArray& ssid, const QByteArray& password, bool sae, bool hidden,
                              int timeout_ms) const
{
    check_password(Security::Personal, sae, password);
    const std::vector<Profile> before = profiles();
    const std::vector<Profile> old = named(before, ssid);
    if (ssid.isEmpty() || old.empty())
        throw not_saved(ssid);
    const ProfileOptions options{sae, hidden || profile_number(old.front().id, "scan_ssid") != 0,
                                 profile_number(old.front().id, "priority")};
    Changes changes(socket_path_);
    const int id = add_profile(changes, before, ssid);
    configure(id, ssid, Security::Personal, password, options);
    const std::vector<Profile> others = select(changes, {id, ssid, {}}, "select Wi-Fi network");
    // An untried profile never replaces a working one: this join is always waited for.
    const int wait = connect_timeout(timeout_ms);
    wait_connected(ssid, wait > 0 ? wait : timeout_ms);
    enable_again(changes, others);
    const std::optional<std::runtime_error> failed = remove_profiles(changes, profiles(), old);
    save(changes, "save Wi-Fi network");
    if (failed)
        throw *failed;
}

void Client::disconnect() const
{
    send_expecting_ok("DISCONNECT", "disconnect Wi-Fi");
}

// Every profile of the name goes, or the network would stay saved.
void Client::forget(const QByteArray& ssid) const
{
    const std::vector<Profile> table = parse_profiles(this->table());
    status(); // part of forget's known request sequence; only the names decide
    const std::vector<Profile> targets = named(table, ssid);
    if (ssid.isEmpty() || targets.empty())
        throw not_saved(ssid);
    Changes changes(socket_path_);
    const std::optional<std::runtime_error> failed = remove_profiles(changes, table, targets);
    save(changes, "save removed Wi-Fi network");
    if (failed)
        throw *failed;
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
