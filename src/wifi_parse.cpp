#include "wifi_credentials.h"
#include "wifi_private.h"

#include <QHash>
#include <QList>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <utility>

namespace vtl::wifi {
namespace {

// The pieces of a text between separators, as split() gives them but as views
// of it: a crowded place's tables are read without a copy of every line and
// column. Past the last piece, an empty one, as a missing column reads.
class Pieces {
public:
    Pieces(QByteArrayView text, char separator) : rest_(text), separator_(separator) {}
    bool done() const { return done_; }
    QByteArrayView next()
    {
        if (done_)
            return {};
        const qsizetype end = rest_.indexOf(separator_);
        if (end < 0) {
            done_ = true;
            return rest_;
        }
        const QByteArrayView piece = rest_.first(end);
        rest_ = rest_.sliced(end + 1);
        return piece;
    }

private:
    QByteArrayView rest_;
    char separator_;
    bool done_ = false;
};

int lowercase_hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The byte that the daemon's escape at `text[at]` stands for, and its length;
// length 0 when there is no escape there.
std::pair<char, int> unescape_at(QByteArrayView text, qsizetype at)
{
    if (text.at(at) != '\\' || at + 1 >= text.size())
        return {0, 0};
    switch (text.at(at + 1)) {
    case '"': return {'"', 2};
    case '\\': return {'\\', 2};
    case 't': return {'\t', 2};
    case 'n': return {'\n', 2};
    case 'r': return {'\r', 2};
    case 'e': return {'\x1b', 2};
    case 'x': break;
    default: return {0, 0};
    }
    if (at + 3 >= text.size())
        return {0, 0};
    const int high = lowercase_hex_digit(text.at(at + 2));
    const int low = lowercase_hex_digit(text.at(at + 3));
    if (high < 0 || low < 0)
        return {0, 0};
    return {char(high * 16 + low), 4};
}

// The daemon writes every SSID byte outside printable ASCII as an escape.
QByteArray unescape_ssid(QByteArrayView field)
{
    if (!field.contains('\\'))
        return field.toByteArray();
    QByteArray raw;
    raw.reserve(field.size());
    for (qsizetype at = 0; at < field.size();) {
        const auto [byte, length] = unescape_at(field, at);
        raw.append(length > 0 ? byte : field.at(at));
        at += std::max(length, 1);
    }
    return raw;
}

// The daemon's own escaping, for names whose bytes are not text.
QByteArray escape_ssid(const QByteArray& ssid)
{
    QByteArray escaped;
    for (const char c : ssid) {
        switch (c) {
        case '"': escaped += "\\\""; break;
        case '\\': escaped += "\\\\"; break;
        case '\t': escaped += "\\t"; break;
        case '\n': escaped += "\\n"; break;
        case '\r': escaped += "\\r"; break;
        case '\x1b': escaped += "\\e"; break;
        default:
            if (uchar(c) >= 0x20 && uchar(c) < 0x7f)
                escaped += c;
            else
                escaped += "\\x" + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
        }
    }
    return escaped;
}

// Access points that hide their name send it empty or as NUL bytes.
bool hidden(const QByteArray& ssid)
{
    return std::all_of(ssid.begin(), ssid.end(), [](char c) { return c == '\0'; });
}

// Each key=value line of a reply, in order; a line without "=" is passed over.
template <typename Take>
void key_values(const QByteArray& text, Take take)
{
    for (const QByteArray& line : text.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals >= 0)
            take(line.left(equals), line.mid(equals + 1));
    }
}

// The networks merged so far, found by name in constant time: a daemon may
// send tens of thousands of lines.
struct Merged {
    std::vector<Network> items;
    QHash<QByteArray, size_t> index;

    Network* find(const QByteArray& ssid)
    {
        const auto found = index.constFind(ssid);
        return found == index.constEnd() ? nullptr : &items[*found];
    }
    Network& add(Network item)
    {
        index.insert(item.ssid_bytes, items.size());
        items.push_back(std::move(item));
        return items.back();
    }
};

// Of several access points with one name the strongest stays, the first of
// equals; a weaker one is passed over before anything is made of it.
void merge_scanned(Merged& result, QByteArrayView line)
{
    Pieces columns(line, '\t');
    const QByteArrayView bssid = columns.next();
    bool frequency_ok = false;
    bool signal_ok = false;
    Network item;
    item.frequency = decimal(columns.next(), &frequency_ok);
    item.signal = decimal(columns.next(), &signal_ok);
    const QByteArrayView flags = columns.next();
    item.ssid_bytes = unescape_ssid(columns.next());
    if (hidden(item.ssid_bytes) || !frequency_ok || !signal_ok)
        return;
    Network* duplicate = result.find(item.ssid_bytes);
    if (duplicate && item.signal <= duplicate->signal)
        return;
    item.bssid = QString::fromUtf8(bssid);
    item.flags = QString::fromUtf8(flags);
    item.ssid = ssid_label(item.ssid_bytes);
    item.credentials = recognise(flags);
    if (!duplicate) {
        result.add(std::move(item));
        return;
    }
    item.saved_id = duplicate->saved_id;
    item.current = duplicate->current;
    *duplicate = std::move(item);
}

void merge_saved(Merged& result, const Profile& profile, const Status& status)
{
    if (profile.ssid.isEmpty())
        return;
    Network* entry = result.find(profile.ssid);
    if (!entry) {
        Network out_of_range;
        out_of_range.ssid = ssid_label(profile.ssid);
        out_of_range.ssid_bytes = profile.ssid;
        entry = &result.add(out_of_range);
    }
    entry->saved_id = profile.id;
    entry->current = profile.id == status.saved_id
        || (!status.ssid_bytes.isEmpty() && status.ssid_bytes == profile.ssid
            && status.state == QLatin1String("COMPLETED"));
}

// Current first, then saved, then by falling signal.
bool listed_before(const Network& left, const Network& right)
{
    if (left.current != right.current)
        return left.current;
    if ((left.saved_id >= 0) != (right.saved_id >= 0))
        return left.saved_id >= 0;
    return left.signal > right.signal;
}

} // namespace

int decimal(QByteArrayView text, bool* ok)
{
    return text.toInt(ok, 10);
}

std::vector<Profile> parse_profiles(const QByteArray& table)
{
    std::vector<Profile> profiles;
    for (Pieces lines(table, '\n'); !lines.done();) {
        Pieces columns(lines.next(), '\t');
        Profile profile;
        bool id_ok = false;
        profile.id = decimal(columns.next(), &id_ok);
        if (!id_ok)
            continue;
        profile.ssid = unescape_ssid(columns.next());
        columns.next();
        profile.flags = columns.next().toByteArray();
        profiles.push_back(std::move(profile));
    }
    return profiles;
}

// Entries are key=value lines in a fixed order, each ended by "====", or by
// "####" when it is the table's last.
BssPage parse_bss(const QByteArray& reply)
{
    static constexpr std::array<QByteArrayView, 6> keys = {"id", "bssid", "freq", "level", "flags", "ssid"};
    BssPage page;
    page.lines.reserve(reply.size());
    size_t taken = 0; // values of the entry being read
    int id = -1;
    bool id_ok = false;
    for (Pieces lines(reply, '\n'); !lines.done();) {
        const QByteArrayView line = lines.next();
        if (line == "====" || line == "####") {
            if (taken != keys.size() || !id_ok || page.last)
                return BssPage();
            page.ids.push_back(id);
            page.last = line == "####";
            taken = 0;
            continue;
        }
        if (taken == keys.size() || !line.startsWith(keys[taken]) || line.indexOf('=') != keys[taken].size())
            return BssPage();
        const QByteArrayView value = line.sliced(keys[taken].size() + 1);
        // Its entry as a SCAN_RESULTS line: the values after the id, tab-separated.
        if (taken == 0) {
            id = decimal(value, &id_ok);
        } else {
            page.lines += value;
            page.lines += taken + 1 == keys.size() ? '\n' : '\t';
        }
        ++taken;
    }
    page.valid = taken == 0 && !page.ids.empty();
    return page;
}

Status Client::parse_status(const QByteArray& text)
{
    Status result;
    key_values(text, [&result](const QByteArray& key, const QByteArray& value) {
        if (key == "wpa_state") {
            result.state = QString::fromUtf8(value);
        } else if (key == "ssid") {
            result.ssid_bytes = unescape_ssid(value);
            result.ssid = ssid_label(result.ssid_bytes);
        } else if (key == "ip_address") {
            result.address = QString::fromUtf8(value);
        } else if (key == "id") {
            bool ok = false;
            const int id = decimal(value, &ok);
            if (ok)
                result.saved_id = id;
        }
    });
    return result;
}

Signal Client::parse_signal(const QByteArray& text)
{
    Signal result;
    key_values(text, [&result](const QByteArray& key, const QByteArray& value) {
        bool ok = false;
        const int number = decimal(value, &ok);
        if (!ok)
            return;
        if (key == "RSSI")
            result.rssi = number;
        else if (key == "FREQUENCY")
            result.frequency = number;
        else if (key == "LINKSPEED")
            result.link_speed = number;
    });
    return result;
}

std::vector<Network> Client::parse_networks(const QByteArray& scan, const QByteArray& saved, const Status& status)
{
    Merged result;
    for (Pieces lines(scan, '\n'); !lines.done();) {
        const QByteArrayView line = lines.next();
        if (!line.isEmpty() && !line.startsWith("bssid"))
            merge_scanned(result, line);
    }
    for (const Profile& profile : parse_profiles(saved))
        merge_saved(result, profile, status);
    for (Network& item : result.items)
        item.connected = status.state == QLatin1String("COMPLETED") && status.ssid_bytes == item.ssid_bytes;
    std::stable_sort(result.items.begin(), result.items.end(), listed_before);
    return result.items;
}

QString ssid_label(const QByteArray& ssid)
{
    // A byte-order mark at the start is part of the name, not a hint to drop.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = utf8(ssid);
    return utf8.hasError() ? QString::fromLatin1(escape_ssid(ssid)) : text;
}

namespace {

// UTF-8 `bytes` with every control character (C0, DEL, C1) written as
// `prefix` and its code as two hex digits. The runs between them are copied
// whole, and text without any is given back as it is.
QByteArray escape_controls(const QByteArray& bytes, const char* prefix)
{
    const auto* const begin = reinterpret_cast<const uchar*>(bytes.constData());
    const auto* const end = begin + bytes.size();
    QByteArray result;
    const uchar* copied = begin;
    for (const uchar* at = begin; at < end; ++at) {
        if (*at >= 0x20 && *at != 0x7f && *at != 0xc2)
            continue;
        // C1 controls are U+0080 to U+009F: C2 80 to C2 9F in UTF-8.
        const bool c1 = *at == 0xc2 && at + 1 < end && at[1] <= 0x9f;
        if (*at == 0xc2 && !c1)
            continue;
        result.append(reinterpret_cast<const char*>(copied), at - copied);
        if (c1)
            ++at;
        result += prefix + QByteArray::number(*at, 16).rightJustified(2, '0');
        copied = at + 1;
    }
    if (copied == begin)
        return bytes;
    return result.append(reinterpret_cast<const char*>(copied), end - copied);
}

} // namespace

QByteArray terminal_text(const QString& text)
{
    return escape_controls(text.toUtf8(), "\\x");
}

QString shell_word(const QString& text)
{
    const bool plain = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || QStringLiteral("_@%+=:,./-").contains(c);
    });
    if (plain)
        return text;
    return QLatin1Char('\'') + QString(text).replace(QLatin1String("'"), QLatin1String("'\\''")) + QLatin1Char('\'');
}

QByteArray json_text(const QByteArray& json)
{
    // Compact JSON holds no raw C0 control: only DEL and C1 are left to escape,
    // and most lists hold neither.
    if (!json.contains('\x7f') && !json.contains('\xc2'))
        return json;
    return escape_controls(json, "\\u00");
}

} // namespace vtl::wifi
