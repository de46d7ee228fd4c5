#include "wifi_credentials.h"
#include "wifi_profiles.h"

#include <algorithm>
#include <functional>
#include <initializer_list>

namespace vtl::wifi {
namespace {

// A profile's security from its own settings, as the daemon gives them.
QString security_of(const Client& client, int id)
{
    const QByteArrayList tokens = field_of(client, id, "key_mgmt").value_or(QByteArray()).split(' ');
    const auto any = [&tokens](std::initializer_list<const char*> words) {
        return std::any_of(tokens.begin(), tokens.end(), [words](const QByteArray& token) {
            return std::any_of(words.begin(), words.end(), [&token](const char* word) { return token == word; });
        });
    };
    if (any({"WPA-EAP-SUITE-B", "WPA-EAP-SUITE-B-192", "FT-EAP-SHA384", "OWE"}))
        return QStringLiteral("unsupported");
    if (any({"WPA-EAP", "WPA-EAP-SHA256", "FT-EAP", "IEEE8021X"})) {
        const QByteArray method = field_of(client, id, "eap").value_or(QByteArray());
        return method == "TLS" ? QStringLiteral("WPA enterprise (certificate)")
            : method.isEmpty() ? QStringLiteral("WPA enterprise")
                               : QStringLiteral("WPA enterprise (%1)").arg(QString::fromLatin1(method));
    }
    if (any({"WPA-PSK", "WPA-PSK-SHA256", "FT-PSK"}))
        return QStringLiteral("WPA personal");
    if (any({"SAE", "FT-SAE"}))
        return QStringLiteral("WPA3 personal");
    // Without key management, a WEP key (answered "*") is all that protects it.
    if (any({"NONE"}) && !field_of(client, id, "wep_key0"))
        return QStringLiteral("open");
    return QStringLiteral("unsupported");
}

// Sets `field` of every profile named `ssid` by `request`, and writes the
// configuration once; a failure puts back what `before` read.
void set_all(const Client& client, const QByteArray& ssid, const char* field,
             const std::function<QByteArray(const Profile&)>& before,
             const std::function<QByteArray(const Profile&)>& request, const char* operation)
{
    const std::vector<Profile> targets = named(profiles(client), ssid);
    if (ssid.isEmpty() || targets.empty())
        throw not_saved(ssid);
    Changes changes(client.socket_path());
    for (const Profile& target : targets) {
        changes.set_later(target.id, ssid, field, before(target));
        const QByteArray reply = changes.send(request(target));
        if (reply != "OK")
            changes.withdraw();
        require_ok(reply, operation);
    }
    save(client, changes, "save Wi-Fi network");
}

} // namespace

std::vector<SavedNetwork> Client::saved_networks() const
{
    std::vector<SavedNetwork> saved;
    for (const Profile& profile : profiles(*this)) {
        SavedNetwork network;
        network.ssid_bytes = profile.ssid;
        network.ssid = ssid_label(profile.ssid);
        network.saved_id = profile.id;
        network.security = security_of(*this, profile.id);
        network.hidden = field_of(*this, profile.id, "scan_ssid").has_value();
        network.priority = decimal(field_of(*this, profile.id, "priority").value_or("0"), nullptr);
        network.autojoin = !disabled(profile);
        network.current = profile.flags.contains("[CURRENT]");
        saved.push_back(network);
    }
    return saved;
}

void Client::set_priority(const QByteArray& ssid, int priority) const
{
    const QByteArray value = QByteArray::number(priority);
    set_all(
        *this, ssid, "priority",
        [this](const Profile& profile) { return field_of(*this, profile.id, "priority").value_or("0"); },
        [&value](const Profile& profile) { return with_id("SET_NETWORK", profile.id) + " priority " + value; },
        "set Wi-Fi network priority");
}

// On clears the flag without starting an attempt.
void Client::set_autojoin(const QByteArray& ssid, bool on) const
{
    set_all(
        *this, ssid, "disabled", [](const Profile& profile) { return QByteArray(disabled(profile) ? "1" : "0"); },
        [on](const Profile& profile) { return on ? enable_request(profile.id) : keep_off_request(profile.id); },
        on ? "let Wi-Fi network join by itself" : keep_off_phrase);
}

} // namespace vtl::wifi
