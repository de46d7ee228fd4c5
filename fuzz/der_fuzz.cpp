// Certificates as a server, or anything posing as one, may send them: the
// daemon passes each certificate of the chain on as DER.
#include "vtl/wifi.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray der(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const std::optional<vtl::wifi::CertificateFacts> facts = vtl::wifi::read_certificate(der))
        vtl::wifi::terminal_text(QString::fromUtf8(facts->subject + facts->issuer + facts->dns_names.join()));
    return 0;
}
