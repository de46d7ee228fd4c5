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

// A scripted stand-in for wpa_supplicant's control socket. Each request text
// gets the next reply of its script (the last one repeats); a request without
// a script gets "UNKNOWN COMMAND", as from the real daemon. Every request is
// recorded in order, with the client address it came from.
class FakeDaemon {
public:
    using Reply = std::optional<QByteArray>; // nullopt: stay silent

    FakeDaemon();
    ~FakeDaemon();
    FakeDaemon(const FakeDaemon&) = delete;
    FakeDaemon& operator=(const FakeDaemon&) = delete;

    QString path() const { return path_; }
    void script(const QByteArray& request, const QList<Reply>& replies);
    void reply(const QByteArray& request, const QByteArray& reply) { script(request, {reply}); }
    void silence(const QByteArray& request) { script(request, {std::nullopt}); }

    QList<QByteArray> requests() const;
    QList<QByteArray> senders() const;
    QList<unsigned> sender_modes() const;
    // Milliseconds from the request before `request` to it.
    qint64 pause_before(const QByteArray& request) const;

private:
    void serve();
    Reply next_reply(const QByteArray& request);

    QTemporaryDir directory_;
    QString path_;
    int descriptor_ = -1;
    int stop_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::map<QByteArray, QList<Reply>> scripts_;
    QList<QByteArray> requests_;
    QList<QByteArray> senders_;
    QList<unsigned> modes_;
    QList<qint64> times_;
    QElapsedTimer clock_;
    std::thread thread_;
};
