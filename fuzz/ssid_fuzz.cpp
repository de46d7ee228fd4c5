// The daemon's SSID escapes and their rendering for a terminal: whatever the
// name, what reaches the terminal holds no control character.
#include "vtl/wifi.h"

#include <cstddef>
#include <cstdint>

namespace {

void require_no_controls(const QByteArray& shown)
{
    for (qsizetype at = 0; at < shown.size(); ++at) {
        const uchar c = uchar(shown.at(at));
        const bool c1 = c == 0xc2 && at + 1 < shown.size() && uchar(shown.at(at + 1)) >= 0x80
            && uchar(shown.at(at + 1)) <= 0x9f;
        if (c < 0x20 || c == 0x7f || c1)
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (bytes.contains('\n'))
        return 0;
    const QString name = vtl::wifi::Client::parse_status("ssid=" + bytes).ssid;
    require_no_controls(vtl::wifi::terminal_text(name));
    require_no_controls(vtl::wifi::terminal_text(QString::fromUtf8(bytes)));
    // A name is decoded from its escapes or kept as received, never lost.
    if (!bytes.isEmpty() && name.isEmpty())
        __builtin_trap();
    return 0;
}
