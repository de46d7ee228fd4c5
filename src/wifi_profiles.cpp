#include "wifi_profiles.h"

#include <QString>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace vtl::wifi {
namespace {

// A profile line: an id, an SSID of at most 128 escaped bytes, "any" or a
// BSSID, and at most [CURRENT][DISABLED][TEMP-DISABLED][P2P-PERSISTENT].
constexpr int longest_profile_line = 256;

} // namespace

QByteArray with_id(const char* request, int id)
{
    return QByteArray(request) + ' ' + QByteArray::number(id);
}

QByteArray enable_request(int id)
{
    return with_id("ENABLE_NETWORK", id) + " no-connect";
}

QByteArray keep_off_request(int id)
{
    return with_id("SET_NETWORK", id) + " disabled 1";
}

std::runtime_error refusal(const char* operation, const QByteArray& reply)
{
    return failure(QStringLiteral("Could not %1: %2").arg(QLatin1String(operation), QString::fromUtf8(reply)));
}

void require_ok(const QByteArray& reply, const char* operation)
{
    if (reply != "OK")
        throw refusal(operation, reply);
}

bool may_be_cut(const QByteArray& reply, int longest_line)
{
    constexpr int reply_buffer = 4096;
    return reply.size() >= reply_buffer - longest_line;
}

bool is_table(const QByteArray& reply)
{
    return reply.startsWith("network id");
}

// A page that may have been cut is followed by the profiles after its last
// id, until a page that cannot have been cut or one that adds no higher id.
// A partial table would pass for a whole one, so a later page that is not a
// table fails the read.
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

QByteArray profile_table(const Client& client)
{
    return whole_table([&client](const QByteArray& request) { return client.command(request, reply_timeout_ms); });
}

std::vector<Profile> profiles(const Client& client)
{
    const QByteArray text = profile_table(client);
    if (!is_table(text))
        throw refusal("list saved Wi-Fi networks", text);
    return parse_profiles(text);
}

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

std::optional<QByteArray> field_of(const Client& client, int id, const char* field)
{
    static const char* const numbers[] = {"scan_ssid", "priority", "ieee80211w"};
    const QByteArray reply = client.command(with_id("GET_NETWORK", id) + ' ' + field, reply_timeout_ms);
    const bool number = std::any_of(std::begin(numbers), std::end(numbers),
                                    [field](const char* name) { return std::strcmp(name, field) == 0; });
    bool ok = false;
    if (number && decimal(reply, &ok) != 0 && ok)
        return reply;
    if (!number && !reply.isEmpty() && !reply.startsWith("FAIL") && reply != "UNKNOWN COMMAND")
        return reply;
    return std::nullopt;
}

QByteArray unquoted(const QByteArray& value)
{
    return value.size() >= 2 && value.startsWith('"') && value.endsWith('"') ? value.mid(1, value.size() - 2) : value;
}

QByteArray text_value(const QByteArray& value)
{
    return value.startsWith('"') ? unquoted(value) : QByteArray::fromHex(value);
}

bool disabled(const Profile& profile)
{
    return profile.flags.contains("[DISABLED]");
}

// Saving commits. Once committed, a save whose reply was lost is asked once
// more (the daemon writes the same file); a second silence is the daemon gone.
void save(const Client& client, Changes& changes, const char* operation)
{
    QByteArray reply;
    try {
        reply = changes.send_committing("SAVE_CONFIG");
    } catch (const NoReply&) {
        if (!changes.committed())
            throw;
        reply = client.command("SAVE_CONFIG", reply_timeout_ms);
    }
    require_ok(reply, operation);
    changes.commit();
}

Changes::~Changes()
{
    try {
        for (auto step = steps_.rbegin(); step != steps_.rend(); ++step)
            (*step)();
    } catch (const std::exception&) {
    }
    release_signals();
}

void Changes::remove_later(int id, const QByteArray& ssid)
{
    steps_.push_back([this, id, ssid] {
        const std::vector<Profile>* table = fresh_table();
        if (table && (unchanged(*table, {id, ssid, {}}) || unchanged(*table, {id, {}, {}})))
            undo(with_id("REMOVE_NETWORK", id));
    });
}

void Changes::unselect_later(const std::vector<Profile>& others, const std::optional<Profile>& chosen_disabled)
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

void Changes::set_later(int id, const QByteArray& ssid, const char* field, const std::optional<QByteArray>& value)
{
    steps_.push_back([this, id, ssid, field, value] {
        const std::vector<Profile>* table = fresh_table();
        if (table && unchanged(*table, {id, ssid, {}}))
            undo(with_id("SET_NETWORK", id) + ' ' + field + ' ' + value.value_or("NULL"));
    });
}

void Changes::remove_added_later(const std::vector<Profile>& before)
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

QByteArray Changes::send(const QByteArray& request)
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

QByteArray Changes::send_committing(const QByteArray& request)
{
    bool sent = false;
    try {
        return exchange(server_, request, reply_timeout_ms, Wait::Committing, &sent);
    } catch (const std::runtime_error&) {
        if (sent)
            commit();
        throw;
    }
}

// The table as undo began, read once, when a step first needs it; asked
// again after a lost reply. nullptr: it could not be read.
const std::vector<Profile>* Changes::fresh_table()
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
std::optional<QByteArray> Changes::undo(const QByteArray& request)
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

} // namespace vtl::wifi
