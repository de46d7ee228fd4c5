#include "wifi_private.h"

#include <QCryptographicHash>
#include <QDateTime>

#include <algorithm>

namespace vtl::wifi {
namespace {

// The number after `name=` in an event, or -1.
int number_field(const QByteArray& text, const QByteArray& name)
{
    const qsizetype at = text.indexOf(' ' + name + '=');
    if (at < 0)
        return -1;
    const qsizetype from = at + name.size() + 2;
    const qsizetype end = text.indexOf(' ', from);
    bool ok = false;
    const int value = decimal(text.mid(from, end < 0 ? -1 : end - from), &ok);
    return ok ? value : -1;
}

} // namespace

UntrustedServer::UntrustedServer(const std::string& message, ServerChain chain)
    : std::runtime_error(message), chain_(std::move(chain))
{
}

// CTRL-EVENT-EAP-PEER-CERT depth=N subject='...' hash=HEX, and a second event
// of the depth with cert=DER in hex instead; CTRL-EVENT-EAP-PEER-ALT depth=0
// DNS:NAME. A depth told again adds only what was missing.
void ChainReader::read(const QByteArray& event)
{
    const QByteArray text = event_text(event);
    const int depth = number_field(text, "depth");
    if (depth < 0)
        return;
    if (text.startsWith("CTRL-EVENT-EAP-PEER-ALT ") && depth == 0) {
        const qsizetype at = text.indexOf(" DNS:");
        const QByteArray name = at < 0 ? QByteArray() : text.mid(at + 5);
        if (!name.isEmpty() && !chain_.names.contains(name))
            chain_.names.append(name);
        return;
    }
    const qsizetype subject = text.indexOf(" subject='");
    const qsizetype hash = text.lastIndexOf("' hash=");
    const qsizetype der = text.lastIndexOf("' cert=");
    const qsizetype end = std::max(hash, der);
    if (!text.startsWith("CTRL-EVENT-EAP-PEER-CERT ") || subject < 0 || end < subject)
        return;
    std::vector<ServerCertificate>& chain = chain_.chain;
    auto place = std::find_if(chain.begin(), chain.end(),
                              [depth](const ServerCertificate& known) { return known.depth >= depth; });
    if (place == chain.end() || place->depth != depth)
        place = chain.insert(place, {depth, text.mid(subject + 10, end - subject - 10), QByteArray(), QByteArray()});
    if (hash == end && place->sha256.isEmpty())
        place->sha256 = text.mid(hash + 7).toLower();
    if (der == end && place->der.isEmpty())
        place->der = QByteArray::fromHex(text.mid(der + 7));
}

const ServerCertificate* organisation_ca(const ServerChain& chain)
{
    for (auto certificate = chain.chain.rbegin(); certificate != chain.chain.rend(); ++certificate) {
        const std::optional<CertificateFacts> facts = read_certificate(certificate->der);
        if (certificate->depth >= 1 && facts && facts->self_signed)
            return &*certificate;
    }
    return nullptr;
}

bool outdated(const ServerChain& chain, const QByteArray& now)
{
    return std::any_of(chain.chain.begin(), chain.chain.end(), [&now](const ServerCertificate& certificate) {
        const std::optional<CertificateFacts> facts = read_certificate(certificate.der);
        return facts && (now < facts->not_before || now > facts->not_after);
    });
}

// The certificates of a PEM file, as DER.
QByteArrayList pem_certificates(const QByteArray& text)
{
    static const QByteArray begin = "-----BEGIN CERTIFICATE-----";
    static const QByteArray end = "-----END CERTIFICATE-----";
    QByteArrayList found;
    for (qsizetype at = text.indexOf(begin); at >= 0; at = text.indexOf(begin, at + 1)) {
        const qsizetype stop = text.indexOf(end, at);
        if (stop < 0)
            break;
        found.append(QByteArray::fromBase64(text.mid(at + begin.size(), stop - at - begin.size())));
    }
    return found;
}

std::optional<bool> check_takes(const QByteArray& ca_cert, const ServerChain& chain)
{
    if (chain.chain.empty())
        return std::nullopt;
    const QByteArray pin = pinned(QByteArray());
    if (ca_cert.startsWith(pin))
        return chain.chain.front().depth == 0 && chain.chain.front().sha256 == ca_cert.mid(pin.size()).toLower();
    const std::optional<QByteArray> file = read_regular(ca_cert, longest_ca_file);
    const std::optional<CertificateFacts> top = read_certificate(chain.chain.back().der);
    if (!file || !top)
        return std::nullopt;
    for (const QByteArray& der : pem_certificates(*file)) {
        const std::optional<CertificateFacts> ca = read_certificate(der);
        const QByteArray sha256 = QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex();
        const bool shown = std::any_of(chain.chain.begin(), chain.chain.end(),
                                       [&sha256](const ServerCertificate& certificate) { return certificate.sha256 == sha256; });
        if (shown || (ca && ca->subject == top->issuer))
            return true;
    }
    return false;
}

QByteArray utc_now()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddHHmmss")).toLatin1();
}

bool probe_ended(const QByteArray& event)
{
    const QByteArray text = event_text(event);
    return text.startsWith("CTRL-EVENT-EAP-TLS-CERT-ERROR ") && number_field(text, "reason") == 8;
}

} // namespace vtl::wifi
