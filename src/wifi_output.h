#pragma once

// What vantrel-wifi writes, built apart from the writing: every line is
// already safe for a terminal, every JSON document compact with one newline.

#include "vtl/wifi.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

// A text line: it may carry a name chosen by a stranger.
QByteArray shown_line(const QString& text);

// The link as three lines, or one JSON object with its signal as far as told.
QByteArray status_output(const vtl::wifi::Status& status, const vtl::wifi::Signal& signal, bool as_json);

// The numbered list (the pick menu), or one JSON array.
QByteArray networks_output(const std::vector<vtl::wifi::Network>& items, bool as_json);

// The saved profiles as aligned columns under a header, or one JSON array.
QByteArray saved_output(const std::vector<vtl::wifi::SavedNetwork>& saved, bool as_json);

// The command a server block ends with, which trusts what it showed: connect
// for a new network (the method and identity given, or METHOD and NAME),
// trust for a saved one; none where pick asks instead.
struct TrustCommand {
    enum Kind { None, Connect, Trust } kind = None;
    QByteArray method;
    QByteArray identity;
};

// A saved profile's server check (a pin or a CA file) and whether it takes
// what the server showed.
struct SavedCheck {
    QByteArray ca_cert;
    bool takes = true;
};

// What the server of `ssid` showed for a person to judge: each certificate,
// what trusting it trusts, the command that does, and above them a saved
// check that does not take it; or one JSON object.
QByteArray server_output(const QByteArray& ssid, const vtl::wifi::ServerChain& server, const TrustCommand& command,
                         const std::optional<SavedCheck>& saved, bool as_json);
