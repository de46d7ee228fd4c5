#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <stdexcept>
#include <vector>

namespace vtl::wifi {

// The daemon's view of the current link.
struct Status {
    QString state;
    QString ssid; // shown: ssid_label(ssid_bytes)
    QString address;
    int saved_id = -1;
    QByteArray ssid_bytes; // the name itself
};

enum class Security : int { Open = 0, Personal = 1, Unsupported = 2 };

struct Profile;

// One network as scanned and/or saved. A signal of -100 marks one not in range.
// A network is its name's bytes: two names that show alike are two networks.
struct Network {
    QString ssid; // shown: ssid_label(ssid_bytes)
    QString bssid;
    QString flags;
    int frequency = 0;
    int signal = -100;
    int saved_id = -1;
    bool current = false;
    Security security = Security::Unsupported;
    QByteArray ssid_bytes;
    bool sae_only = false;  // WPA3-Personal alone: joined with SAE, not a PSK
    bool connected = false; // the daemon's link is up on it
};

// What a new profile needs besides its name, security and password.
struct ProfileOptions {
    bool sae = false;    // WPA3-Personal alone
    bool hidden = false; // every scan probes for the name
    int priority = 0;
};

// A signal ended an operation; what the operation changed in the daemon has
// been undone by the time this reaches the caller.
class Interrupted : public std::runtime_error {
public:
    explicit Interrupted(int signal);
    int signal() const { return signal_; }

private:
    int signal_;
};

// For a signal handler (async-signal-safe): the wait in progress and every
// later one end with Interrupted, except the waits of undoing a change.
void interrupt(int signal) noexcept;
// The signal given to interrupt(), or 0.
int interruption() noexcept;
// For a signal handler about to end the program at once: removes the
// temporary socket file of the exchange in progress.
void remove_socket_file() noexcept;
// Waits until `descriptor` has input (or has failed); a signal ends the wait with Interrupted.
void wait_for_input(int descriptor);

// What a long wait is for: the scan delay, or the association with `ssid`.
enum class Waiting { Scan, Association };
// Told as each long wait begins, so that a front end can show it.
using WaitWatcher = void (*)(Waiting what, const QByteArray& ssid);
void watch_waits(WaitWatcher watcher) noexcept;

// Speaks wpa_supplicant's control protocol. Holds nothing but the socket
// path: every exchange opens and tears down a socket of its own.
class Client {
public:
    explicit Client(QString socket_path);

    QByteArray command(const QByteArray& request, int timeout_ms) const;
    Status status() const;
    std::vector<Network> networks(bool scan) const;
    // Names and passwords are bytes, taken as they are. Both leave the
    // daemon's saved profiles as they were unless they succeed.
    void connect_saved(int id, const QByteArray& ssid, int timeout_ms) const;
    void connect_new(const QByteArray& ssid, Security security, const QByteArray& password, int timeout_ms,
                     const ProfileOptions& options = ProfileOptions()) const;
    // Joins a saved personal network with a new password: a new profile that,
    // once associated, replaces every saved profile of the name.
    void replace_password(const QByteArray& ssid, const QByteArray& password, bool sae, bool hidden,
                          int timeout_ms) const;
    // Probes for one name, as a hidden network answers, and waits the scan delay.
    void scan_for(const QByteArray& ssid) const;
    // Fails when the adapter lists what it can do and WPA3-Personal is not among it.
    void require_wpa3() const;
    void disconnect() const;
    // Removes every saved profile of that name.
    void forget(const QByteArray& ssid) const;

    static Status parse_status(const QByteArray& text);
    static std::vector<Network> parse_networks(const QByteArray& scan, const QByteArray& saved,
                                               const Status& status);
    static QString security_name(Security value);
    static QByteArray encode_ssid(const QByteArray& ssid);
    static QByteArray encode_password(const QByteArray& password);

private:
    class Changes;

    static void require_ok(const QByteArray& reply, const char* operation);
    void send_expecting_ok(const QByteArray& request, const char* operation) const;
    QByteArray table() const;
    std::vector<Profile> profiles() const;
    QByteArray bss_table() const;
    void wait_connected(const QByteArray& ssid, int timeout_ms) const;
    int add_profile(Changes& changes, const std::vector<Profile>& before, const QByteArray& ssid) const;
    void configure(int id, const QByteArray& ssid, Security security, const QByteArray& password,
                   const ProfileOptions& options) const;
    int profile_number(int id, const char* field) const;
    std::vector<Profile> select(Changes& changes, const Profile& chosen, const char* operation) const;
    void enable_again(Changes& changes, const std::vector<Profile>& others) const;
    QByteArray send_committing(Changes& changes, const QByteArray& request) const;
    void save(Changes& changes, const char* operation) const;
    std::optional<std::runtime_error> remove_profiles(Changes& changes, std::vector<Profile> table,
                                                      const std::vector<Profile>& targets) const;

    QByteArray socket_path_;
};

// Every failure of the library is raised as one of these, its text the
// message; a NUL in it, from a network's name, is written \x00.
std::runtime_error failure(const QString& message);
// "NAME is not a saved network.", the name as shown.
std::runtime_error not_saved(const QByteArray& ssid);

// How a network name is shown: its text when its bytes are UTF-8, otherwise
// the daemon's escaped form (\xNN and the like), a label and not the name.
QString ssid_label(const QByteArray& ssid);

// Network names come from anyone nearby: the UTF-8 of `text` with every
// control character (C0, DEL, C1) written as \x and two hex digits, so that
// printing it cannot steer the terminal.
QByteArray terminal_text(const QString& text);

// Compact JSON as `json`, with DEL and the C1 controls written as \u escapes:
// still the same JSON, but nothing a terminal acts on.
QByteArray json_text(const QByteArray& json);

} // namespace vtl::wifi
