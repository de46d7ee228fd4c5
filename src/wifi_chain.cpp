#include "wifi_private.h"

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

// CTRL-EVENT-EAP-PEER-CERT depth=N subject='...' hash=HEX (a second event of
// the depth carries cert=DER instead), CTRL-EVENT-EAP-PEER-ALT depth=0 DNS:NAME.
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
    if (!text.startsWith("CTRL-EVENT-EAP-PEER-CERT ") || subject < 0 || hash < subject)
        return;
    std::vector<ServerCertificate>& chain = chain_.chain;
    const auto place = std::find_if(chain.begin(), chain.end(),
                                    [depth](const ServerCertificate& known) { return known.depth >= depth; });
    if (place != chain.end() && place->depth == depth)
        return;
    chain.insert(place, {depth, text.mid(subject + 10, hash - subject - 10), text.mid(hash + 7).toLower()});
}

bool probe_ended(const QByteArray& event)
{
    const QByteArray text = event_text(event);
    return text.startsWith("CTRL-EVENT-EAP-TLS-CERT-ERROR ") && number_field(text, "reason") == 8;
}

} // namespace vtl::wifi
