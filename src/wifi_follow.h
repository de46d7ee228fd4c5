#pragma once

// status --follow: one record per change of the link, for status bars and
// scripts that keep the command running.

#include "vtl/wifi.h"

// Returns when the reader has gone; throws Interrupted at a signal and the
// write error of any other output that fails. The daemon may go and come
// back meanwhile: it is followed again.
void follow(const vtl::wifi::Client& client, bool as_json);
