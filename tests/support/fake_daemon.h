#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>

// A scripted stand-in for wpa_supplicant's control socket. Each request text
// gets the next reply of its script (the last one repeats); a request without
// a script gets "UNKNOWN COMMAND", as from the real daemon, or goes on to the
// daemon it forwards to. Every request is recorded in order, with the client
// address it came from. One request can be made to meet a fault.
class FakeDaemon {
public:
    using Reply = std::optional<QByteArray>; // nullopt: stay silent
    // Lose: carried out, its reply withheld. Refuse: answered "FAIL" unseen.
    // Interrupt, Terminate: answered, then the client gets SIGINT or SIGTERM.
    // Stall: answered, then no reading for 3.5 s with the queue full, so that
    // the next request cannot even be sent within its 3 s.
    enum class Fault { None, Lose, Refuse, Interrupt, Terminate, Stall };

    FakeDaemon();
    ~FakeDaemon();
    FakeDaemon(const FakeDaemon&) = delete;
    FakeDaemon& operator=(const FakeDaemon&) = delete;

    QString path() const { return path_; }
    void script(const QByteArray& request, const QList<Reply>& replies);
    void reply(const QByteArray& request, const QByteArray& reply) { script(request, {reply}); }
    void silence(const QByteArray& request) { script(request, {std::nullopt}); }
    // Requests without a script go on to the daemon at `socket`; ATTACH there
    // too, on a socket of their own, whose events are passed on to the client.
    void forward_to(const QString& socket);
    // Forwarded requests holding `from` hold `to` in its place instead.
    void translate(const QByteArray& from, const QByteArray& to);
    // Answers SCAN_RESULTS and BSS from this table, as the daemon does: in
    // replies of 4096 bytes, SCAN_RESULTS cut after the last whole line that
    // fits, BSS pages of whole entries with "####" after the table's last.
    struct AccessPoint {
        QByteArray bssid;
        int frequency;
        int level;
        QByteArray flags;
        QByteArray ssid; // escaped
    };
    void hold(const QList<AccessPoint>& table);
    // An event message, sent `after_ms` after the request that brings it;
    // one that `breaks` sends nothing: the client's socket fails instead.
    // With a `table`, the held scan results become it as the event goes out.
    struct Event {
        int after_ms = 0;
        QByteArray text;
        bool breaks = false;
        std::optional<QList<AccessPoint>> table = std::nullopt;
    };
    // Each `request` answered brings `events` to the clients attached here
    // (ATTACH answered OK); ATTACH itself brings them to the client that attached.
    void announce(const QByteArray& request, const QList<Event>& events);
    // Keeps a profile table, as LIST_NETWORKS lists it, that the requests
    // answered OK change as the daemon's own would (ADD_NETWORK answered with
    // an id). LIST_NETWORKS and the requests on profiles without a script are
    // answered from it: OK for a profile it holds, FAIL for one it does not.
    void keep_profiles(const QByteArray& listed);
    // The kept table as "id name flags|" for each profile.
    QByteArray profiles() const;
    // The `occurrence`-th request (from 1) with the text `request` meets `fault`;
    // each call adds one more.
    void inject(Fault fault, const QByteArray& request, int occurrence);
    // A second client at work: just before the `occurrence`-th `request` (from
    // 1) is forwarded, `requests` go to the daemon forwarded to.
    void meddle(const QByteArray& request, const QByteArrayList& requests, int occurrence = 1);

    QList<QByteArray> requests() const;
    QList<QByteArray> senders() const;
    QList<unsigned> sender_modes() const;
    // Milliseconds from the last `from` before the last `to` to that `to`: an
    // interval that holds every wait the client began after asking `from`.
    qint64 interval(const QByteArray& from, const QByteArray& to) const;

private:
    void serve();
    Reply attach(const sockaddr_un& client, socklen_t length);
    void pass_on_events();
    void schedule(const QByteArray& request, const sockaddr_un& from, socklen_t length);
    void send_due();
    int next_due_ms() const;
    void stall();
    void break_socket(const sockaddr_un& client, socklen_t length);
    Reply next_reply(const QByteArray& request);
    Fault fault_for(const QByteArray& request);

    QTemporaryDir directory_;
    QString path_;
    int descriptor_ = -1;
    int stop_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::map<QByteArray, QList<Reply>> scripts_;
    QString forward_;
    QByteArray from_, to_;
    std::map<QByteArray, QList<Event>> announcements_;
    struct Client {
        sockaddr_un address;
        socklen_t length;
    };
    std::vector<Client> attached_;
    struct Pending {
        qint64 due;
        Event event;
        Client to;
    };
    std::vector<Pending> pending_;
    // One per client that attached through us: our socket on the daemon, the client's address.
    struct Relay {
        int descriptor;
        sockaddr_un client;
        socklen_t length;
    };
    std::vector<Relay> relays_;
    int relays_made_ = 0; // each binds a name of its own
    std::optional<QList<AccessPoint>> table_;
    struct SavedProfile {
        int id;
        QByteArray ssid; // escaped
        QByteArray flags;
    };
    std::optional<QList<SavedProfile>> profiles_;
    SavedProfile* saved(int id);
    QByteArray profile_reply(const QByteArray& request);
    void change_profiles(const QByteArray& request, const QByteArray& reply);
    struct Injection {
        Fault fault;
        QByteArray request;
        int countdown;
    };
    QList<Injection> injections_;
    QByteArray meddle_request_;
    QByteArrayList meddling_;
    int meddle_countdown_ = 0;
    QList<QByteArray> requests_;
    QList<QByteArray> senders_;
    QList<unsigned> modes_;
    QList<qint64> times_;
    QElapsedTimer clock_;
    std::thread thread_;
};

// A name as LIST_NETWORKS shows it: bytes outside printable ASCII as \xNN,
// a quote or backslash after a backslash.
QByteArray listed_name(const QByteArray& name);

// The requests that change the daemon, in order: what a run did, whatever it read.
QList<QByteArray> changing(const QList<QByteArray>& requests);

// How many status polls fit into a wait depends on the machine's speed (and
// on the real daemon's pace): `requests` with repeated polls merged into one.
QList<QByteArray> merged_polls(QList<QByteArray> requests);

// `count` access points for the names Net000 to Net099, the first names on several.
QList<FakeDaemon::AccessPoint> crowded_table(int count);
