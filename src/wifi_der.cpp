#include "vtl/wifi.h"

#include <QByteArrayView>

#include <algorithm>

namespace vtl::wifi {
namespace {

// One DER element: its tag and its content, inside the bytes it came from.
struct Element {
    uchar tag = 0;
    QByteArrayView content;
};

// The elements of `bytes` in turn. Every length is checked against what is
// left; indefinite lengths, lengths over four bytes and tags of several bytes
// (none of which a certificate needs) end the reading.
class Reader {
public:
    explicit Reader(QByteArrayView bytes) : rest_(bytes) {}
    bool at_end() const { return rest_.isEmpty(); }
    uchar peek() const { return rest_.isEmpty() ? 0 : uchar(rest_.front()); }
    std::optional<Element> next()
    {
        if (rest_.size() < 2 || (uchar(rest_.at(0)) & 0x1f) == 0x1f)
            return std::nullopt;
        const uchar tag = uchar(rest_.at(0));
        quint64 length = uchar(rest_.at(1));
        qsizetype header = 2;
        if (length & 0x80) {
            const int bytes = int(length & 0x7f);
            if (bytes == 0 || bytes > 4 || rest_.size() < 2 + bytes)
                return std::nullopt;
            length = 0;
            for (int at = 0; at < bytes; ++at)
                length = (length << 8) | uchar(rest_.at(2 + at));
            header += bytes;
        }
        if (length > quint64(rest_.size() - header))
            return std::nullopt;
        const Element element{tag, rest_.sliced(header, qsizetype(length))};
        rest_ = rest_.sliced(header + qsizetype(length));
        return element;
    }
    // The next element, only when it has `tag`.
    std::optional<Element> take(uchar tag)
    {
        return peek() == tag ? next() : std::nullopt;
    }

private:
    QByteArrayView rest_;
};

constexpr uchar sequence = 0x30;
constexpr uchar set = 0x31;
constexpr uchar object_id = 0x06;

// OpenSSL's short names, which the daemon's subjects use; any other type is
// written as its number.
const struct {
    const char* oid; // DER content
    const char* name;
} attribute_names[] = {
    {"\x55\x04\x03", "CN"},    {"\x55\x04\x06", "C"},  {"\x55\x04\x07", "L"},
    {"\x55\x04\x08", "ST"},    {"\x55\x04\x0a", "O"},  {"\x55\x04\x0b", "OU"},
    {"\x55\x04\x05", "serialNumber"}, {"\x55\x04\x09", "street"}, {"\x55\x04\x0c", "title"},
    {"\x55\x04\x04", "SN"},    {"\x55\x04\x2a", "GN"}, {"\x55\x04\x11", "postalCode"},
    {"\x55\x04\x2e", "dnQualifier"}, {"\x55\x04\x61", "organizationIdentifier"},
    {"\x2a\x86\x48\x86\xf7\x0d\x01\x09\x01", "emailAddress"},
    {"\x09\x92\x26\x89\x93\xf2\x2c\x64\x01\x19", "DC"},
    {"\x09\x92\x26\x89\x93\xf2\x2c\x64\x01\x01", "UID"},
};
constexpr QByteArrayView common_name_oid("\x55\x04\x03", 3);
constexpr QByteArrayView alternative_names_oid("\x55\x1d\x11", 3);

// An object identifier's dotted number, or nothing for one badly encoded.
std::optional<QByteArray> dotted(QByteArrayView oid)
{
    QByteArray text;
    quint64 value = 0;
    bool first = true;
    for (qsizetype at = 0; at < oid.size(); ++at) {
        const uchar byte = uchar(oid.at(at));
        if (value > (quint64(1) << 50))
            return std::nullopt;
        value = (value << 7) | (byte & 0x7f);
        if (byte & 0x80)
            continue;
        if (first)
            text = QByteArray::number(value < 80 ? value / 40 : 2) + '.' + QByteArray::number(value < 80 ? value % 40 : value - 80);
        else
            text += '.' + QByteArray::number(value);
        first = false;
        value = 0;
    }
    if (first || (uchar(oid.back()) & 0x80))
        return std::nullopt;
    return text;
}

std::optional<QByteArray> attribute_name(QByteArrayView oid)
{
    for (const auto& known : attribute_names) {
        if (oid == QByteArrayView(known.oid))
            return QByteArray(known.name);
    }
    return dotted(oid);
}

// A value's bytes as OpenSSL's one-line form writes them: printable ASCII as
// it is, every other byte as \xHH.
QByteArray one_line(QByteArrayView value)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray text;
    for (const char c : value) {
        const uchar byte = uchar(c);
        if (byte >= 0x20 && byte <= 0x7e)
            text += c;
        else
            text += QByteArray("\\x") + hex[byte >> 4] + hex[byte & 15];
    }
    return text;
}

// A Name as /TYPE=value for each of its attributes, and its last CN.
std::optional<QByteArray> name_text(QByteArrayView name, QByteArray* common_name = nullptr)
{
    QByteArray text;
    Reader names(name);
    while (!names.at_end()) {
        const std::optional<Element> relative = names.take(set);
        if (!relative)
            return std::nullopt;
        Reader attributes(relative->content);
        while (!attributes.at_end()) {
            const std::optional<Element> attribute = attributes.take(sequence);
            if (!attribute)
                return std::nullopt;
            Reader parts(attribute->content);
            const std::optional<Element> type = parts.take(object_id);
            const std::optional<Element> value = parts.next();
            const std::optional<QByteArray> type_name = type ? attribute_name(type->content) : std::nullopt;
            if (!type_name || !value || !parts.at_end())
                return std::nullopt;
            text += '/' + *type_name + '=' + one_line(value->content);
            if (common_name && type->content == common_name_oid)
                *common_name = value->content.toByteArray();
        }
    }
    return text;
}

bool digits(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// UTCTime (YYMMDDHHMMSSZ, years from 1950) or GeneralizedTime
// (YYYYMMDDHHMMSSZ), the two forms a certificate may use, as YYYYMMDDHHMMSS.
std::optional<QByteArray> time_text(const Element& time)
{
    const QByteArrayView text = time.content;
    if (time.tag == 0x17 && text.size() == 13 && text.back() == 'Z' && digits(text.first(12)))
        return QByteArray(text.at(0) >= '5' ? "19" : "20") + text.first(12).toByteArray();
    if (time.tag == 0x18 && text.size() == 15 && text.back() == 'Z' && digits(text.first(14)))
        return text.first(14).toByteArray();
    return std::nullopt;
}

// The DNS names of a subjectAltName extension's value.
std::optional<QByteArrayList> dns_names(QByteArrayView value)
{
    Reader outer(value);
    const std::optional<Element> names = outer.take(sequence);
    if (!names || !outer.at_end())
        return std::nullopt;
    QByteArrayList found;
    Reader each(names->content);
    while (!each.at_end()) {
        const std::optional<Element> name = each.next();
        if (!name)
            return std::nullopt;
        if (name->tag == 0x82)
            found.append(name->content.toByteArray());
    }
    return found;
}

// The extensions ([3]): what subjectAltName says, if it is there.
bool read_extensions(QByteArrayView tagged, CertificateFacts& facts)
{
    Reader outer(tagged);
    const std::optional<Element> list = outer.take(sequence);
    if (!list || !outer.at_end())
        return false;
    Reader extensions(list->content);
    while (!extensions.at_end()) {
        const std::optional<Element> extension = extensions.take(sequence);
        if (!extension)
            return false;
        Reader parts(extension->content);
        const std::optional<Element> id = parts.take(object_id);
        parts.take(0x01); // critical
        const std::optional<Element> value = parts.take(0x04);
        if (!id || !value || !parts.at_end())
            return false;
        if (id->content != alternative_names_oid)
            continue;
        const std::optional<QByteArrayList> names = dns_names(value->content);
        if (!names)
            return false;
        facts.dns_names = *names;
    }
    return true;
}

} // namespace

std::optional<CertificateFacts> read_certificate(const QByteArray& der)
{
    Reader whole(der);
    const std::optional<Element> certificate = whole.take(sequence);
    if (!certificate || !whole.at_end())
        return std::nullopt;
    Reader outer(certificate->content);
    const std::optional<Element> signed_part = outer.take(sequence);
    if (!signed_part)
        return std::nullopt;
    Reader tbs(signed_part->content);
    tbs.take(0xa0); // version
    const std::optional<Element> serial = tbs.take(0x02);
    const std::optional<Element> algorithm = tbs.take(sequence);
    const std::optional<Element> issuer = tbs.take(sequence);
    const std::optional<Element> validity = tbs.take(sequence);
    const std::optional<Element> subject = tbs.take(sequence);
    const std::optional<Element> key = tbs.take(sequence);
    if (!serial || !algorithm || !issuer || !validity || !subject || !key)
        return std::nullopt;
    CertificateFacts facts;
    Reader times(validity->content);
    const std::optional<Element> from = times.next();
    const std::optional<Element> until = times.next();
    const std::optional<QByteArray> not_before = from ? time_text(*from) : std::nullopt;
    const std::optional<QByteArray> not_after = until ? time_text(*until) : std::nullopt;
    const std::optional<QByteArray> issuer_text = name_text(issuer->content);
    const std::optional<QByteArray> subject_text = name_text(subject->content, &facts.common_name);
    if (!not_before || !not_after || !times.at_end() || !issuer_text || !subject_text)
        return std::nullopt;
    facts.not_before = *not_before;
    facts.not_after = *not_after;
    facts.issuer = *issuer_text;
    facts.subject = *subject_text;
    facts.self_signed = issuer->content == subject->content;
    tbs.take(0x81); // issuer's unique id
    tbs.take(0x82); // subject's unique id
    if (const std::optional<Element> extensions = tbs.take(0xa3); extensions && !read_extensions(extensions->content, facts))
        return std::nullopt;
    if (!tbs.at_end())
        return std::nullopt;
    return facts;
}

} // namespace vtl::wifi
