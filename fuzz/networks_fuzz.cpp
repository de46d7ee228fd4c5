// The network list built from scan results, saved profiles and a status,
// given as one input split at form feeds.
#include "vtl/wifi.h"

#include <QList>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const QList<QByteArray> parts = input.split('\f');
    const auto part = [&parts](qsizetype index) { return index < parts.size() ? parts.at(index) : QByteArray(); };
    const vtl::wifi::Status status = vtl::wifi::Client::parse_status(part(2));
    for (const vtl::wifi::Network& item : vtl::wifi::Client::parse_networks(part(0), part(1), status)) {
        if (item.ssid.isEmpty())
            __builtin_trap();
        vtl::wifi::terminal_text(item.ssid);
        vtl::wifi::Client::security_name(item.credentials);
    }
    return 0;
}
