#pragma once

// The daemon's table of saved profiles: read whole, and the undo log of what
// one operation changes in it. Shared by the Wi-Fi library's sources only.

#include "wifi_private.h"

#include <QByteArray>

#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

namespace vtl::wifi {

QByteArray with_id(const char* request, int id);
// Clears a profile's disabled flag without touching the association.
QByteArray enable_request(int id);
// Sets it in place, so that the daemon never joins the profile by itself
// while a link in use on it stays (DISABLE_NETWORK would end that link).
QByteArray keep_off_request(int id);
constexpr char keep_off_phrase[] = "keep Wi-Fi network from joining by itself";
// "Could not OPERATION: REPLY".
std::runtime_error refusal(const char* operation, const QByteArray& reply);
// Fails with refusal() unless the reply is exactly OK.
void require_ok(const QByteArray& reply, const char* operation);

// The daemon builds SCAN_RESULTS and LIST_NETWORKS in a 4096-byte buffer and
// stops, without notice, after the last whole line that fits. So a reply that
// ends more than its longest line short of the buffer is whole; any longer
// one may be cut.
bool may_be_cut(const QByteArray& reply, int longest_line);
// Far more pages than the daemon's tables fill (200 scan entries by default);
// only a daemon answering without end could need them.
constexpr int most_pages = 64;

bool is_table(const QByteArray& reply);
using Ask = std::function<QByteArray(const QByteArray&)>;
// The whole LIST_NETWORKS table, its pages asked for by `ask`.
QByteArray whole_table(const Ask& ask);
QByteArray profile_table(const Client& client);
// Without the whole table the profiles an action touches could not be told.
std::vector<Profile> profiles(const Client& client);

// The files of the CA folder that `named` profiles check their servers by;
// without a request when the folder holds none.
QByteArrayList ca_files_of(const Client& client, const std::vector<Profile>& named);
// Removes those of `files` that no saved profile names any longer. Best
// effort: a table it cannot read keeps them all.
void remove_unnamed(const Client& client, QByteArrayList files);

// Another client may have removed a profile and added one under its id: a
// profile is touched only while its id still holds its name.
bool unchanged(const std::vector<Profile>& table, const Profile& known);
std::vector<Profile> named(const std::vector<Profile>& table, const QByteArray& ssid);
bool disabled(const Profile& profile);
// What profile `id` holds in `field`, as SET_NETWORK takes it back; nothing
// for the daemon's default: a number 0 (also when it gives none), a text it
// does not have (FAIL).
std::optional<QByteArray> field_of(const Client& client, int id, const char* field);
// A text field's value without the quotes GET_NETWORK gives it.
QByteArray unquoted(const QByteArray& value);
// The bytes of a text field GET_NETWORK gives in quotes, or in hex when they
// are not printable.
QByteArray text_value(const QByteArray& value);

// What one operation has changed in the daemon, undone newest first unless
// the operation commits. The daemon acts on a request before it answers, so
// the undo of a request is logged before it is sent and withdrawn only when
// the request never went out or was refused. Undo is best effort: a refusal
// is passed over, and so is a request left unanswered (a busy daemon answers
// late; a datagram may be lost), but a daemon that is gone, or has left two
// requests in a row unanswered, is not asked again. Before it touches an id,
// undo reads the table once and touches only profiles that still hold their
// names. A signal does not stop it: the signal is what it answers. Once
// committed, the operation finishes, and the signals held meanwhile are
// released only as it ends.
class Changes {
public:
    explicit Changes(const QByteArray& server) : server_(server) {}
    ~Changes();
    Changes(const Changes&) = delete;
    Changes& operator=(const Changes&) = delete;

    // A profile this run created, named `ssid` or not named yet.
    void remove_later(int id, const QByteArray& ssid);
    // What a selection disabled: the others that were enabled, and the chosen
    // profile's own flag. Without a table the others are enabled all the same.
    void unselect_later(const std::vector<Profile>& others, const std::optional<Profile>& chosen_disabled);
    // A field of the saved profile `id` named `ssid`, set back to `value` (as
    // GET_NETWORK gave it; nothing: unset).
    void set_later(int id, const QByteArray& ssid, const char* field, const std::optional<QByteArray>& value);
    // The profile that an unanswered ADD_NETWORK may have made: the one without
    // a name that was not there before. If several appeared, another client is
    // making one too, and none is taken.
    void remove_added_later(const std::vector<Profile>& before);
    // Sends the request whose undo was logged last; withdraws that undo when
    // the request never went out.
    QByteArray send(const QByteArray& request);
    // A request that may pass the point of no return: once it is out, the
    // daemon may have acted on it (writing the file, removing an old profile),
    // and nothing can be taken back. A failure after sending commits; the
    // reply is the caller's to judge.
    QByteArray send_committing(const QByteArray& request);
    void withdraw() { steps_.pop_back(); }
    void commit()
    {
        steps_.clear();
        committed_ = true;
    }
    bool committed() const { return committed_; }

private:
    const std::vector<Profile>* fresh_table();
    std::optional<QByteArray> undo(const QByteArray& request);

    const QByteArray& server_;
    std::vector<std::function<void()>> steps_;
    bool table_read_ = false;
    std::optional<std::vector<Profile>> table_;
    int unanswered_ = 0;
    bool committed_ = false;
};

// SAVE_CONFIG: the operation's point of no return, and once past it, its
// end: a save whose reply was lost is asked once more.
void save(const Client& client, Changes& changes, const char* operation);

} // namespace vtl::wifi
