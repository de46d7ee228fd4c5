// STATUS replies as the daemon, or anything posing as it, may send them.
#include "vtl/wifi.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray reply(reinterpret_cast<const char*>(data), qsizetype(size));
    const vtl::wifi::Status status = vtl::wifi::Client::parse_status(reply);
    vtl::wifi::terminal_text(status.ssid + status.state + status.address);
    return 0;
}
