#include "wifi_credentials.h"
#include "wifi_profiles.h"

#include <QElapsedTimer>
#include <QList>

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace vtl::wifi {
namespace {

int connect_timeout(int fallback)
{
    return environment_milliseconds("VANTREL_WIFI_CONNECT_TIMEOUT_MS", fallback);
}

// GET_CAPABILITY's answer when the daemon could tell: upper-case names such
// as WPA-PSK, IEEE8021X or AKA' (an EAP method), one space apart.
bool lists_capabilities(const QByteArray& reply)
{
    if (reply.isEmpty() || reply.startsWith("FAIL") || reply == "UNKNOWN COMMAND")
        return false;
    for (const QByteArray& name : reply.split(' ')) {
        const bool word = !name.isEmpty() && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '\'';
        });
        if (!word)
            return false;
    }
    return true;
}

// The daemon told what it can do (`request`), and `word` is not among it.
bool lacks(const Client& client, const QByteArray& request, const QByteArray& word)
{
    const QByteArray reply = client.command(request, reply_timeout_ms);
    return lists_capabilities(reply) && !reply.split(' ').contains(word);
}

void send_expecting_ok(const Client& client, const QByteArray& request, const char* operation)
{
    require_ok(client.command(request, reply_timeout_ms), operation);
}

// An enterprise join is watched on `events` too: a failure the daemon
// reports there ends the wait at once, before it tries the credentials again.
void wait_connected(const Client& client, const QByteArray& ssid, int timeout_ms, const Events* events = nullptr,
                    EapWatch* watch = nullptr)
{
    if (timeout_ms < 1)
        return;
    announce(Waiting::Association, ssid);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeout_ms) {
        const Status current = client.status();
        if (current.state == QLatin1String("COMPLETED") && current.ssid_bytes == ssid)
            return;
        if (!events) {
            pause_for(400);
            continue;
        }
        QElapsedTimer poll;
        poll.start();
        while (poll.elapsed() < 400) {
            const std::optional<QByteArray> event = events->next(int(400 - poll.elapsed()));
            if (!event)
                break;
            watch->read(*event);
        }
    }
    throw failure(QStringLiteral("Timed out connecting to %1.").arg(ssid_label(ssid)));
}

// SELECT_NETWORK disables every other profile in the daemon, and the next
// SAVE_CONFIG, ours or anyone's, would write that down: the profiles enabled
// before it are enabled again, on success and on failure alike. It enables
// the chosen one too, which failure disables again if it was disabled.
struct Selection {
    std::vector<Profile> others;
    std::optional<Profile> chosen_disabled;
};
Selection select(const Client& client, Changes& changes, const Profile& chosen, const char* operation)
{
    const std::vector<Profile> table = profiles(client);
    if (!unchanged(table, chosen))
        throw failure(QStringLiteral("The selected network is not saved."));
    Selection selection;
    for (const Profile& profile : table) {
        if (profile.id == chosen.id && disabled(profile))
            selection.chosen_disabled = profile;
        else if (profile.id != chosen.id && !disabled(profile))
            selection.others.push_back(profile);
    }
    changes.unselect_later(selection.others, selection.chosen_disabled); // withdrawn by enable_again
    const QByteArray reply = changes.send(with_id("SELECT_NETWORK", chosen.id));
    if (reply != "OK")
        changes.withdraw();
    require_ok(reply, operation);
    return selection;
}

// On the way to success each must be done before anything is saved; a
// profile that another client has removed or replaced meanwhile is left
// alone. A chosen profile that was kept from joining by itself stays so,
// its link kept; until the run commits, failure disables it again.
void enable_again(const Client& client, Changes& changes, const Selection& selection)
{
    if (!selection.others.empty() || selection.chosen_disabled) {
        const std::vector<Profile> table = profiles(client);
        for (const Profile& profile : selection.others) {
            if (unchanged(table, profile))
                send_expecting_ok(client, enable_request(profile.id), "re-enable saved Wi-Fi network");
        }
        if (selection.chosen_disabled && unchanged(table, *selection.chosen_disabled))
            send_expecting_ok(client, keep_off_request(selection.chosen_disabled->id), keep_off_phrase);
    }
    changes.withdraw();
    if (selection.chosen_disabled)
        changes.unselect_later({}, selection.chosen_disabled);
}

// `before` is the table read just before the add: if its reply is lost, the
// new profile is the unnamed one that was not there.
int add_profile(Changes& changes, const std::vector<Profile>& before, const QByteArray& ssid)
{
    changes.remove_added_later(before);
    const QByteArray reply = changes.send("ADD_NETWORK");
    changes.withdraw();
    bool id_ok = false;
    const int id = decimal(reply, &id_ok);
    if (!id_ok || id < 0)
        throw failure(QStringLiteral("wpa_supplicant did not create a network profile."));
    changes.remove_later(id, ssid);
    return id;
}

// The name, the fields of the kind, then the settings, and the profile enabled.
void configure(const Client& client, int id, const QByteArray& ssid, const Kind& kind, const QByteArray& password,
               const std::vector<Setting>& settings)
{
    const QByteArray set = with_id("SET_NETWORK", id) + ' ';
    send_expecting_ok(client, set + "ssid " + encode_ssid(ssid), "set Wi-Fi network name");
    for (const Field& field : kind.fields) {
        const QByteArray value = field.value ? QByteArray(field.value) : encode_password(password);
        send_expecting_ok(client, set + field.name + ' ' + value, field.phrase);
    }
    for (const Setting& setting : settings)
        send_expecting_ok(client, set + setting.name + ' ' + setting.value, setting_phrase(setting.name));
    send_expecting_ok(client, with_id("ENABLE_NETWORK", id), "enable Wi-Fi network");
}

// The settings a new profile keeps from the old one `id`: each field the kind
// carries over that the old one has, and what the user gave.
std::vector<Setting> carried_over(const Client& client, int id, const Kind& kind, std::vector<Setting> given)
{
    for (const char* field : kind.carried) {
        const bool known = std::any_of(given.begin(), given.end(),
                                       [field](const Setting& setting) { return std::strcmp(setting.name, field) == 0; });
        if (known)
            continue;
        if (const std::optional<QByteArray> value = field_of(client, id, field))
            given.push_back({field, *value});
    }
    return given;
}

std::vector<Setting> hidden_setting(bool hidden)
{
    return hidden ? std::vector<Setting>{{"scan_ssid", "1"}} : std::vector<Setting>();
}

// Removes `targets`, profiles of one name as `table` showed them. A removed
// profile cannot be put back (its secret is not given out), so the first
// removal sent commits, unless it is refused and the profile is still there:
// then nothing has changed. From there every target is tried: after a lost
// reply or a refusal the table is read again, a profile no longer there under
// its name counts as removed, and one still there is passed over, its failure
// returned for the caller to report once it has saved.
std::optional<std::runtime_error> remove_profiles(const Client& client, Changes& changes, std::vector<Profile> table,
                                                  const std::vector<Profile>& targets)
{
    std::optional<std::runtime_error> first_failure;
    for (const Profile& target : targets) {
        if (!unchanged(table, target))
            continue;
        std::optional<std::runtime_error> failed;
        try {
            const QByteArray reply = changes.send_committing(with_id("REMOVE_NETWORK", target.id));
            if (reply == "OK") {
                changes.commit();
                continue;
            }
            failed = refusal("remove Wi-Fi network", reply);
        } catch (const NoReply& lost) {
            if (!changes.committed())
                throw;
            failed = lost;
        }
        table = profiles(client);
        if (!unchanged(table, target)) {
            changes.commit();
            continue;
        }
        if (!changes.committed())
            throw *failed;
        if (!first_failure)
            first_failure = failed;
    }
    return first_failure;
}

// Enterprise joins are watched from before the request that starts them.
std::unique_ptr<Events> listen(const QByteArray& server, const Kind& kind)
{
    return kind.eap ? std::make_unique<Events>(server) : nullptr;
}

// What a probe of the server shows before it ends, or within `timeout_ms`.
ServerChain probed(const Events& events, const QByteArray& ssid, int timeout_ms)
{
    ChainReader reader;
    if (timeout_ms > 0)
        announce(Waiting::Association, ssid);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeout_ms) {
        const std::optional<QByteArray> event = events.next(int(timeout_ms - timer.elapsed()));
        if (!event)
            break;
        reader.read(*event);
        if (probe_ended(*event) || event_text(*event).startsWith("CTRL-EVENT-EAP-FAILURE"))
            break;
    }
    if (reader.chain().chain.empty())
        throw failure(QStringLiteral("The network's server did not show a certificate."));
    return reader.chain();
}

const QByteArray& value_of(const std::vector<Setting>& settings, const char* name)
{
    static const QByteArray none;
    for (const Setting& setting : settings) {
        if (std::strcmp(setting.name, name) == 0)
            return setting.value;
    }
    return none;
}

// A profile that would hand its secrets to any server is not joined again: it
// needs a CA and a name to check the server by. The CA's place, for messages.
QByteArray server_check(const std::vector<Setting>& settings, const QByteArray& ssid)
{
    const auto value = [&settings](const char* name) { return value_of(settings, name); };
    const QByteArray ca = value("ca_cert").isEmpty() ? value("ca_path") : value("ca_cert");
    if (ca.isEmpty() || (value("domain_suffix_match").isEmpty() && value("domain_match").isEmpty()))
        throw failure(QStringLiteral("%1 has no server check; forget it and join it again with connect.")
                          .arg(ssid_label(ssid)));
    return unquoted(ca);
}

} // namespace

std::runtime_error unsupported()
{
    return failure(QStringLiteral("Vantrel does not configure WEP, OWE or 192-bit enterprise networks yet."));
}

std::runtime_error not_saved(const QByteArray& ssid)
{
    return failure(QStringLiteral("%1 is not a saved network.").arg(ssid_label(ssid)));
}

Status Client::status() const
{
    return parse_status(command("STATUS", reply_timeout_ms));
}

// The status does not depend on it: a daemon that cannot tell is not a failure.
Signal Client::signal() const
{
    try {
        return parse_signal(command("SIGNAL_POLL", reply_timeout_ms));
    } catch (const Interrupted&) {
        throw;
    } catch (const std::runtime_error&) {
        return Signal();
    }
}

std::optional<Enterprise> Client::enterprise_of(int id) const
{
    const QByteArrayList tokens = field_of(*this, id, "key_mgmt").value_or(QByteArray()).split(' ');
    const bool eap = std::any_of(tokens.begin(), tokens.end(), [](const QByteArray& token) {
        return token.startsWith("WPA-EAP") || token.startsWith("FT-EAP") || token == "IEEE8021X";
    });
    if (!eap)
        return std::nullopt;
    Enterprise saved;
    saved.method = field_of(*this, id, "eap").value_or(QByteArray());
    saved.ca_cert = text_value(field_of(*this, id, "ca_cert").value_or(QByteArray()));
    saved.anonymous_identity = text_value(field_of(*this, id, "anonymous_identity").value_or(QByteArray()));
    saved.private_key = text_value(field_of(*this, id, "private_key").value_or(QByteArray()));
    return saved;
}

void Client::connect_saved(int id, const QByteArray& ssid, int timeout_ms) const
{
    if (id < 0)
        throw failure(QStringLiteral("The selected network is not saved."));
    // A saved enterprise profile is watched as a new one is: a failure tells why.
    const std::optional<Enterprise> watched = enterprise_of(id);
    Changes changes(socket_path_);
    const std::unique_ptr<Events> events = watched ? std::make_unique<Events>(socket_path_) : nullptr;
    const Selection selection = select(*this, changes, {id, ssid, {}}, "select saved Wi-Fi network");
    EapWatch watch(watched.value_or(Enterprise()), ssid, true);
    wait_connected(*this, ssid, connect_timeout(timeout_ms), events.get(), &watch);
    enable_again(*this, changes, selection);
    changes.commit();
}

void Client::require_adapter(Credentials credentials) const
{
    const Kind& kind = kind_of(credentials);
    // The strict form answers only what the driver reported, never a built-in guess.
    if (kind.adapter_word && lacks(*this, "GET_CAPABILITY key_mgmt strict", kind.adapter_word))
        throw failure(QString::fromUtf8(kind.adapter_refusal));
}

void Client::require_method(const QByteArray& method) const
{
    if (lacks(*this, "GET_CAPABILITY eap", method))
        throw failure(QStringLiteral("This wpa_supplicant cannot do %1.").arg(QString::fromLatin1(method)));
}

void Client::connect_new(const QByteArray& ssid, Credentials credentials, const QByteArray& password, int timeout_ms,
                         bool hidden, const Enterprise& enterprise) const
{
    if (ssid.isEmpty())
        throw failure(QStringLiteral("The network name cannot be empty."));
    const Kind& kind = kind_of(credentials);
    if (!joinable(credentials))
        throw unsupported();
    check_secret(kind, password);
    std::vector<Setting> settings = hidden_setting(hidden);
    if (kind.eap) {
        const std::vector<Setting> fields = enterprise_settings(enterprise, password);
        settings.insert(settings.begin(), fields.begin(), fields.end());
    }
    Changes changes(socket_path_);
    const int id = add_profile(changes, profiles(*this), ssid);
    const std::unique_ptr<Events> events = listen(socket_path_, kind);
    configure(*this, id, ssid, kind, password, settings);
    const Selection selection = select(*this, changes, {id, ssid, {}}, "select Wi-Fi network");
    EapWatch watch(enterprise, ssid, false);
    wait_connected(*this, ssid, connect_timeout(timeout_ms), events.get(), &watch);
    enable_again(*this, changes, selection);
    save(*this, changes, "save Wi-Fi network");
}

// The old secret cannot be read back, so the new profile must work before any
// old one goes: up to the first removal, failure undoes everything; from it,
// the old profiles are removed and the result saved.
void Client::replace_password(const QByteArray& ssid, Credentials credentials, const QByteArray& password,
                              bool hidden, int timeout_ms) const
{
    const Kind& kind = kind_of(credentials);
    check_secret(kind, password);
    const std::vector<Profile> before = profiles(*this);
    const std::vector<Profile> old = named(before, ssid);
    if (ssid.isEmpty() || old.empty())
        throw not_saved(ssid);
    std::vector<Setting> settings = carried_over(*this, old.front().id, kind, hidden_setting(hidden));
    Enterprise watched;
    if (kind.eap) {
        watched.method = value_of(settings, "eap");
        if (watched.method == "TLS")
            throw failure(QStringLiteral("%1 signs in with a certificate, not a password.").arg(ssid_label(ssid)));
        watched.ca_cert = server_check(settings, ssid);
        check_line(password);
        settings.push_back({"password", password.toHex()});
    }
    Changes changes(socket_path_);
    const int id = add_profile(changes, before, ssid);
    const std::unique_ptr<Events> events = listen(socket_path_, kind);
    configure(*this, id, ssid, kind, password, settings);
    const Selection selection = select(*this, changes, {id, ssid, {}}, "select Wi-Fi network");
    // An untried profile never replaces a working one: this join is always waited for.
    const int wait = connect_timeout(timeout_ms);
    EapWatch watch(watched, ssid, true);
    wait_connected(*this, ssid, wait > 0 ? wait : timeout_ms, events.get(), &watch);
    enable_again(*this, changes, selection);
    // The network kept from joining by itself stays so with its new password.
    if (disabled(old.front()) && unchanged(profiles(*this), {id, ssid, {}}))
        send_expecting_ok(*this, keep_off_request(id), keep_off_phrase);
    const std::optional<std::runtime_error> failed = remove_profiles(*this, changes, profiles(*this), old);
    save(*this, changes, "save Wi-Fi network");
    if (failed)
        throw *failed;
}

// Whatever it shows, the probe's profile goes again as a failed join's does.
ServerChain Client::server_chain(const QByteArray& ssid, const Enterprise& enterprise, bool hidden,
                                 int timeout_ms) const
{
    std::vector<Setting> settings = probe_settings(enterprise);
    const std::vector<Setting> hiding = hidden_setting(hidden);
    settings.insert(settings.end(), hiding.begin(), hiding.end());
    Changes changes(socket_path_);
    const int id = add_profile(changes, profiles(*this), ssid);
    const Events events(socket_path_);
    configure(*this, id, ssid, kind_of(Credentials::Enterprise), QByteArray(), settings);
    select(*this, changes, {id, ssid, {}}, "select Wi-Fi network");
    return probed(events, ssid, connect_timeout(timeout_ms));
}

void Client::trust(int id, const QByteArray& ssid, Enterprise saved, const QByteArray& ca_cert, int timeout_ms) const
{
    // The probe before may have taken long: the id is checked again.
    if (!unchanged(profiles(*this), {id, ssid, {}}))
        throw failure(QStringLiteral("The selected network is not saved."));
    const std::optional<QByteArray> old =
        saved.ca_cert.isEmpty() ? std::nullopt : std::optional<QByteArray>('"' + saved.ca_cert + '"');
    saved.ca_cert = ca_cert;
    Changes changes(socket_path_);
    changes.set_later(id, ssid, "ca_cert", old);
    const QByteArray reply = changes.send(with_id("SET_NETWORK", id) + " ca_cert \"" + ca_cert + '"');
    if (reply != "OK")
        changes.withdraw();
    require_ok(reply, setting_phrase("ca_cert"));
    const Events events(socket_path_);
    const Selection selection = select(*this, changes, {id, ssid, {}}, "select saved Wi-Fi network");
    EapWatch watch(saved, ssid, true);
    wait_connected(*this, ssid, connect_timeout(timeout_ms), &events, &watch);
    enable_again(*this, changes, selection);
    save(*this, changes, "save Wi-Fi network");
}

void Client::disconnect() const
{
    send_expecting_ok(*this, "DISCONNECT", "disconnect Wi-Fi");
}

// Every profile of the name goes, or the network would stay saved.
void Client::forget(const QByteArray& ssid) const
{
    const std::vector<Profile> saved = parse_profiles(profile_table(*this));
    status(); // part of forget's known request sequence; only the names decide
    const std::vector<Profile> targets = named(saved, ssid);
    if (ssid.isEmpty() || targets.empty())
        throw not_saved(ssid);
    const QByteArrayList cas = ca_files_of(*this, targets);
    Changes changes(socket_path_);
    const std::optional<std::runtime_error> failed = remove_profiles(*this, changes, saved, targets);
    save(*this, changes, "save removed Wi-Fi network");
    remove_unnamed(*this, cas);
    if (failed)
        throw *failed;
}

} // namespace vtl::wifi
