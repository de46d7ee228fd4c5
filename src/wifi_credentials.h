#pragma once

// What each kind of network needs to be joined; one entry per kind in
// wifi_credentials.cpp. Shared by the Wi-Fi library's sources only.

#include "vtl/wifi.h"

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

namespace vtl::wifi {

// A profile field that the credentials set: SET_NETWORK <id> <name> <value>.
// A null value stands for the password; `phrase` names the step in a refusal.
struct Field {
    const char* name;
    const char* value;
    const char* phrase;
};

struct Kind {
    Credentials credentials;
    const char* security; // as listed
    int shortest_secret;  // bytes; a kind without a password has 0 and 0
    int longest_secret;
    const char* secret_rule; // the message for a password outside them
    // The key management the adapter must list (GET_CAPABILITY), when not every adapter has it.
    const char* adapter_word;
    const char* adapter_refusal;
    std::vector<Field> fields;
    // Number fields that a new password keeps from the old profile, in this order.
    std::vector<const char*> carried;
    // 802.1X: the profile's fields are the user's (enterprise_settings), and
    // the join is watched on the daemon's events.
    bool eap = false;
};

const Kind& kind_of(Credentials credentials);

// The kind a scanned network's flags (any letter case) announce.
Credentials recognise(QByteArrayView flags);

// Fails with the kind's rule when the password breaks it.
void check_secret(const Kind& kind, const QByteArray& password);

// A name as SET_NETWORK and SCAN take it: hex, whatever its bytes.
QByteArray encode_ssid(const QByteArray& ssid);
// A password in quotes, its bytes as they are; fails for those that would end the request.
QByteArray encode_password(const QByteArray& password);
// Fails for a password holding NUL, CR or LF: no request could carry it.
void check_line(const QByteArray& password);

// A profile field beyond the kind's own, as SET_NETWORK takes its value:
// scan_ssid, priority, the enterprise fields.
struct Setting {
    const char* name;
    QByteArray value;
};
const char* setting_phrase(const char* name);

// The profile fields of an enterprise join, the password (or a TLS key's
// passphrase) among them, once its rules are checked: it goes in hex,
// whatever its bytes.
std::vector<Setting> enterprise_settings(const Enterprise& enterprise, const QByteArray& password);
// The fields of a profile that only asks the server for its certificates:
// it stops before any secret could be sent.
std::vector<Setting> probe_settings(const Enterprise& enterprise);

} // namespace vtl::wifi
