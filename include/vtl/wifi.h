#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <memory>
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

// How a network is joined: without a secret, WPA personal with a PSK, WPA3
// personal with SAE, WPA enterprise (802.1X) with a user name and password
// in a tunnel to a server that is checked, or with a certificate (EAP-TLS);
// or not by this tool. A scan tells only that a network is enterprise.
enum class Credentials { Open, Psk, Sae, Enterprise, Certificate, Unsupported };

bool joinable(Credentials credentials);
bool takes_password(Credentials credentials);
// The credentials a password joins with: the network's own when it takes
// one, otherwise WPA personal's.
Credentials with_password(Credentials scanned);

// An enterprise network's method, identities and server check, as the user
// gave them. Build one with enterprise_options(), which checks each value.
struct Enterprise {
    QByteArray method;             // PEAP, TTLS or TLS
    QByteArray inner;              // MSCHAPV2 or PAP
    QByteArray identity;           // sent inside the tunnel; TLS: the certificate's user
    QByteArray anonymous_identity; // sent in clear; empty: none
    QByteArray ca_cert;            // an absolute path, or a pinned server certificate (hash://)
    QByteArray domain;             // the server's name, or a domain above it
    bool sha256_only = false;      // the network offers no other 802.1X key management
    QByteArray client_cert;        // TLS: an absolute path; empty for a PKCS#12 key
    QByteArray private_key;        // TLS: an absolute path
    bool passphrase = false;       // TLS: the key's passphrase is given
};

// The words given for an enterprise join; those not given are empty optionals.
struct EnterpriseWords {
    std::optional<QByteArray> eap, phase2, identity, anonymous_identity, domain, ca_cert, client_cert, private_key,
        server_cert;
    bool passphrase = false; // --password-stdin
};
// Fails unless `eap`, when given, names a method joined here: peap, ttls or tls.
void check_method(const std::optional<QByteArray>& eap);
// Checks the values in turn and fails with the first rule broken. Without a
// CA certificate or a pinned server certificate the system bundle is the CA:
// VANTREL_CA_BUNDLE, else /etc/ssl/certs/ca-certificates.crt, which must be there.
Enterprise enterprise_options(const EnterpriseWords& words);
// A pin of the server certificate whose SHA-256 is `sha256`, as ca_cert takes it.
QByteArray pinned(const QByteArray& sha256);

// A server's certificates as it presented them, the leaf at depth 0, and the
// leaf's DNS names: text from the air, to be shown escaped.
struct ServerCertificate {
    int depth = 0;
    QByteArray subject;
    QByteArray sha256; // of its DER form, in lower-case hex
    QByteArray der;    // the certificate itself, when the daemon told it
};
struct ServerChain {
    std::vector<ServerCertificate> chain; // by depth
    QByteArrayList names;
};

// A join refused because the server's chain ends at a CA the check does not
// hold: what the server showed, for a person to judge.
class UntrustedServer : public std::runtime_error {
public:
    UntrustedServer(const std::string& message, ServerChain chain);
    const ServerChain& chain() const { return chain_; }

private:
    ServerChain chain_;
};
// What a certificate says of itself, read from its DER form: names as the
// daemon writes them (/C=XX/O=Name/CN=host, other bytes as \xHH), times in
// UTC as YYYYMMDDHHMMSS. Text from the air, to be shown escaped.
struct CertificateFacts {
    QByteArray subject;
    QByteArray issuer;
    QByteArray not_before;
    QByteArray not_after;
    QByteArray common_name; // the subject's last CN
    QByteArrayList dns_names;
    bool self_signed = false; // its issuer is its subject
};
// Nothing unless `der` is one whole certificate that reads as X.509.
std::optional<CertificateFacts> read_certificate(const QByteArray& der);

// What trusting a server on first use trusts: the topmost self-signed
// certificate above the server's own, the organisation's CA, which vouches
// for the server's next certificates too; nullptr when there is none (the
// chain's top is an intermediate CA, or the daemon did not tell the DER):
// then the server's certificate alone.
const ServerCertificate* organisation_ca(const ServerChain& chain);
// A certificate of the chain is not valid at `now` (UTC, YYYYMMDDHHMMSS):
// past its validity or not valid yet. Such a chain is never trusted.
bool outdated(const ServerChain& chain, const QByteArray& now);
// Whether a saved server check, a pin (hash://) or a CA file, takes the
// chain, as far as fingerprints and names tell (the join proves it); nothing
// when it cannot be told.
std::optional<bool> check_takes(const QByteArray& ca_cert, const ServerChain& chain);
// The time now in UTC, as YYYYMMDDHHMMSS.
QByteArray utc_now();

// The folder where a CA trusted on first use is kept, a PEM file each named
// by its SHA-256: VANTREL_WIFI_CA_DIR, else /var/lib/vantrel-wifi/ca.
QByteArray ca_folder();

// A CA certificate kept in the CA folder for a profile to name. A file this
// run wrote goes again unless the run keeps it: a run that fails leaves the
// folder as it was.
class KeptCa {
public:
    // `der` as <folder>/<sha256>.pem, written to a new name and linked there,
    // never over a different file; nothing when the folder cannot take it.
    static std::unique_ptr<KeptCa> write(const QByteArray& der);
    ~KeptCa();
    KeptCa(const KeptCa&) = delete;
    KeptCa& operator=(const KeptCa&) = delete;
    const QByteArray& path() const { return path_; }
    void keep() { written_ = false; }

private:
    KeptCa(QByteArray path, bool written) : path_(std::move(path)), written_(written) {}
    QByteArray path_;
    bool written_;
};

// True for flags whose only 802.1X key management is EAP-SHA256: WPA3-Enterprise only.
bool sha256_only(const QByteArray& flags);

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
    Credentials credentials = Credentials::Unsupported;
    QByteArray ssid_bytes;
    bool connected = false; // the daemon's link is up on it
};

// A saved profile as the daemon holds it: its security from its own
// settings (open, WPA personal, WPA3 personal, WPA enterprise and its method,
// or unsupported), whether it is scanned for by name, its priority, and
// whether the daemon may join it by itself.
struct SavedNetwork {
    QString ssid; // shown: ssid_label(ssid_bytes)
    int saved_id = -1;
    QString security;
    bool hidden = false;
    int priority = 0;
    bool autojoin = true;
    bool current = false;
    QByteArray ssid_bytes;
};

// How good the link is, as SIGNAL_POLL tells it: each value only when told.
struct Signal {
    std::optional<int> rssi;       // dBm
    std::optional<int> frequency;  // MHz
    std::optional<int> link_speed; // Mbit/s
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

// A second socket on which the daemon sends its event messages (ATTACH). It
// is to be read whenever it is open (one that is not holds back every
// client's events) and closed before any wait on a person. Its file goes on
// every way out, from a signal handler too (remove_socket_file). Fails unless
// ATTACH is answered OK.
class TemporarySocket;
class Events {
public:
    explicit Events(const QByteArray& server);
    ~Events();
    Events(const Events&) = delete;
    Events& operator=(const Events&) = delete;
    // The next event, its "<level>" included, or nothing within `timeout_ms`.
    std::optional<QByteArray> next(int timeout_ms) const;
    // For a wait on it beside other descriptors.
    int descriptor() const;
    // Tells the daemon to send no more (DETACH), whatever signal has come;
    // its answer is waited for a request's limit at most, and a daemon gone is no failure.
    void detach() const;

private:
    std::unique_ptr<TemporarySocket> socket_;
};

// Readable once a signal has been given to interrupt(), for a wait beside other descriptors.
int interruption_descriptor() noexcept;

// Speaks wpa_supplicant's control protocol. Holds nothing but the socket
// path: every exchange opens and tears down a socket of its own.
class Client {
public:
    explicit Client(QString socket_path);

    const QByteArray& socket_path() const { return socket_path_; }
    QByteArray command(const QByteArray& request, int timeout_ms) const;
    Status status() const;
    // Nothing told when the daemon cannot tell (FAIL, no link) or does not answer.
    Signal signal() const;
    std::vector<Network> networks(bool scan) const;
    // Names and passwords are bytes, taken as they are. Both leave the
    // daemon's saved profiles as they were unless they succeed. A hidden
    // network's profile probes for its name at every scan.
    void connect_saved(int id, const QByteArray& ssid, int timeout_ms) const;
    // An enterprise join watches the daemon's events and fails at once when
    // the server is not the one named or the credentials are refused.
    void connect_new(const QByteArray& ssid, Credentials credentials, const QByteArray& password, int timeout_ms,
                     bool hidden = false, const Enterprise& enterprise = Enterprise()) const;
    // Joins a saved network with a new password: a new profile that, once
    // associated, replaces every saved profile of the name.
    void replace_password(const QByteArray& ssid, Credentials credentials, const QByteArray& password, bool hidden,
                          int timeout_ms) const;
    // Probes for one name, as a hidden network answers, and waits for the scan.
    void scan_for(const QByteArray& ssid) const;
    // Fails when the adapter lists what it can do and the credentials' key
    // management, where not every adapter has it, is not among it.
    void require_adapter(Credentials credentials) const;
    // Fails when the daemon lists its EAP methods and `method` is not among them.
    void require_method(const QByteArray& method) const;
    // The certificates an enterprise network's server shows, asked for with
    // a profile that stops before any secret is sent; afterwards the daemon
    // is as before, the current network left. `enterprise` gives the outer
    // identity and the key management.
    ServerChain server_chain(const QByteArray& ssid, const Enterprise& enterprise, bool hidden, int timeout_ms) const;
    // A saved profile's method, server check (ca_cert), outer identity and
    // TLS key, when its key management is 802.1X.
    std::optional<Enterprise> enterprise_of(int id) const;
    // Gives the saved enterprise profile `id`, `saved` as enterprise_of()
    // read it, the server check `ca_cert` (a CA file or a pin; its domain
    // check kept) and joins it to prove the check: on any failure the old
    // check is back; on success the configuration is written once. Identity,
    // password and key stay where they are.
    void trust(int id, const QByteArray& ssid, Enterprise saved, const QByteArray& ca_cert, int timeout_ms) const;
    // Every saved profile, in the daemon's order.
    std::vector<SavedNetwork> saved_networks() const;
    // Every profile of the name gets `priority`, or may join by itself or not
    // (a link in use stays); the configuration is written once, or on any
    // failure every profile is as before.
    void set_priority(const QByteArray& ssid, int priority) const;
    void set_autojoin(const QByteArray& ssid, bool on) const;
    void disconnect() const;
    // Removes every saved profile of that name, and a CA file of the CA
    // folder that no profile left names.
    void forget(const QByteArray& ssid) const;

    static Status parse_status(const QByteArray& text);
    static Signal parse_signal(const QByteArray& text);
    static std::vector<Network> parse_networks(const QByteArray& scan, const QByteArray& saved,
                                               const Status& status);
    static QString security_name(Credentials credentials);

private:
    QByteArray socket_path_;
};

// Every failure of the library is raised as one of these, its text the
// message; a NUL in it, from a network's name, is written \x00.
std::runtime_error failure(const QString& message);
// The refusal of a network no kind of credentials here can join.
std::runtime_error unsupported();
// "NAME is not a saved network.", the name as shown.
std::runtime_error not_saved(const QByteArray& ssid);

// How a network name is shown: its text when its bytes are UTF-8, otherwise
// the daemon's escaped form (\xNN and the like), a label and not the name.
QString ssid_label(const QByteArray& ssid);

// Network names come from anyone nearby: the UTF-8 of `text` with every
// control character (C0, DEL, C1) written as \x and two hex digits, so that
// printing it cannot steer the terminal.
QByteArray terminal_text(const QString& text);

// `text` as one word for a POSIX shell: as it stands when no character in it
// needs quoting, otherwise in single quotes.
QString shell_word(const QString& text);

// Compact JSON as `json`, with DEL and the C1 controls written as \u escapes:
// still the same JSON, but nothing a terminal acts on.
QByteArray json_text(const QByteArray& json);

} // namespace vtl::wifi
