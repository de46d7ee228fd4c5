#pragma once

// What vantrel-wifi writes, built apart from the writing: every line is
// already safe for a terminal, every JSON document compact with one newline.

#include "vtl/wifi.h"

#include <QByteArray>
#include <QString>

#include <vector>

// A text line: it may carry a name chosen by a stranger.
QByteArray shown_line(const QString& text);

// The link as three lines, or one JSON object with its signal as far as told.
QByteArray status_output(const vtl::wifi::Status& status, const vtl::wifi::Signal& signal, bool as_json);

// The numbered list (the pick menu), or one JSON array.
QByteArray networks_output(const std::vector<vtl::wifi::Network>& items, bool as_json);

// The certificates the server of `ssid` showed and the command that pins the
// leaf, `identity` in it when known; or one JSON object.
QByteArray server_output(const QByteArray& ssid, const vtl::wifi::ServerChain& server, const QByteArray& identity,
                         bool as_json);
