#pragma once

// Shared by the Wi-Fi library's sources; not part of its interface.

#include "vtl/wifi.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include <sys/types.h>

namespace vtl::wifi {

constexpr int reply_timeout_ms = 3000;

// A request that got no reply in time: the daemon may have carried it out,
// and may still be there.
class NoReply : public std::runtime_error {
public:
    explicit NoReply(const QString& message);
};

// How a wait meets a signal: an operation's waits end at once, the waits of
// undoing its changes go on (a second signal ends the program instead).
// Committing is for the request that passes an operation's point of no
// return: a signal still ends the wait to send it, but once it is out the run
// must finish, so signals are held (every wait is steady) until
// release_signals(); the run then ends as it would have without them.
enum class Wait { Interruptible, Steady, Committing };
void release_signals() noexcept;

// One request to the daemon at `server` and its reply, trailing CR and LF
// removed. `sent`, when given, tells afterwards, after a failure too, whether
// the request went out: the daemon may then have carried it out.
QByteArray exchange(const QByteArray& server, const QByteArray& request, int timeout_ms, Wait wait,
                    bool* sent = nullptr);

// An event without its "<level>".
QByteArray event_text(const QByteArray& event);

// The server's certificates and the leaf's names as its events show them,
// each depth once (the daemon may tell one twice).
class ChainReader {
public:
    void read(const QByteArray& event);
    const ServerChain& chain() const { return chain_; }

private:
    ServerChain chain_;
};
// The daemon's probe of a server (ca_cert "probe://") has shown the whole chain.
bool probe_ended(const QByteArray& event);

// Reads an enterprise join's events, and ends the join at once, throwing
// what went wrong, when the server failed its check, the credentials were
// refused, or the method could not start (its CA file, a TLS key). A server
// that a saved profile's check no longer takes may be renewed or an
// impostor: its fingerprint is told, and trust is the way to take it.
class EapWatch {
public:
    EapWatch(const Enterprise& enterprise, const QByteArray& ssid, bool saved);
    void read(const QByteArray& event);

private:
    QString another_certificate(const QByteArray& presented, const QByteArray& pinned) const;
    QString unverified(const QString& subject, const QByteArray& presented) const;

    Enterprise enterprise_;
    QByteArray ssid_;
    bool saved_;
    ChainReader chain_;
};

// More than any CA bundle: a file this long is not a certificate to read whole.
constexpr qsizetype longest_ca_file = 4 * 1024 * 1024;

// The whole text of a regular file of at most `longest` bytes that we can
// read, and its mode; nothing for any other (a FIFO is never waited on).
std::optional<QByteArray> read_regular(const QByteArray& path, qsizetype longest, mode_t* mode = nullptr);

// Sleeps unless a signal comes first.
void pause_for(int milliseconds);

// The milliseconds in the variable `name`: a number from 0 up, else `fallback`.
int environment_milliseconds(const char* name, int fallback);
// Tells the front end's watcher (watch_waits) that a long wait begins.
void announce(Waiting what, const QByteArray& ssid = QByteArray());

int decimal(QByteArrayView text, bool* ok);

// One saved profile, a line of the LIST_NETWORKS table.
struct Profile {
    int id = -1;
    QByteArray ssid;
    QByteArray flags;
};
std::vector<Profile> parse_profiles(const QByteArray& table);

// One reply to a BSS request: its entries as SCAN_RESULTS lines.
struct BssPage {
    bool valid = false; // whole entries only, each with every value asked for
    QByteArray lines;
    std::vector<int> ids;
    bool last = false; // its last entry ends the daemon's table
};
BssPage parse_bss(const QByteArray& reply);

} // namespace vtl::wifi
