#include "wifi_follow.h"

#include "wifi_output.h"
#include "wifi_terminal.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include <poll.h>
#include <unistd.h>

using vtl::wifi::Client;
using vtl::wifi::Events;

namespace {

constexpr int default_interval_ms = 5000;
constexpr int shortest_interval_ms = 100;

int interval_ms()
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue("VANTREL_WIFI_FOLLOW_INTERVAL_MS", &ok);
    return ok && value >= shortest_interval_ms ? value : default_interval_ms;
}

// Records for a reader that may stop reading: the newest one not yet begun
// waits for standard output to take it, and one begun is finished first.
// Never the same record twice in a row.
class Records {
public:
    void offer(const QByteArray& record)
    {
        if (record == (newest_.isEmpty() ? begun_ : newest_))
            return;
        newest_ = record == begun_ ? QByteArray() : record;
    }
    bool waiting() const { return !rest_.isEmpty() || !newest_.isEmpty(); }
    // Writes what standard output takes once poll has said it takes more;
    // false when its reader has gone.
    bool write()
    {
        if (rest_.isEmpty()) {
            rest_ = begun_ = newest_;
            newest_.clear();
        }
        const qsizetype written = write_some(rest_);
        rest_.remove(0, std::max<qsizetype>(written, 0));
        return written >= 0;
    }

private:
    QByteArray begun_;  // the last record begun
    QByteArray rest_;   // what is left of it to write
    QByteArray newest_; // not begun yet
};

// A reader that goes away ends the run quietly, not by SIGPIPE.
struct PipeSignalIgnored {
    struct sigaction previous {};
    PipeSignalIgnored()
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &previous);
    }
    ~PipeSignalIgnored() { sigaction(SIGPIPE, &previous, nullptr); }
};

class Follower {
public:
    Follower(const Client& client, bool as_json) : client_(client), as_json_(as_json) {}
    ~Follower()
    {
        if (events_)
            events_->detach();
    }
    Follower(const Follower&) = delete;
    Follower& operator=(const Follower&) = delete;

    // New sockets, attached again; a daemon that will not attach is looked at by ticks only.
    void connect()
    {
        events_.reset();
        try {
            events_ = std::make_unique<Events>(client_.socket_path());
        } catch (const vtl::wifi::Interrupted&) {
            throw;
        } catch (const std::runtime_error&) {
        }
    }
    void look()
    {
        try {
            const vtl::wifi::Status status = client_.status();
            const bool linked = as_json_ && status.state == QLatin1String("COMPLETED");
            const vtl::wifi::Signal signal = linked ? client_.signal() : vtl::wifi::Signal();
            records_.offer(status_output(status, signal, as_json_) + (as_json_ ? "" : "\n"));
            reachable_ = true;
            told_ = false;
        } catch (const vtl::wifi::Interrupted&) {
            throw;
        } catch (const std::runtime_error& error) {
            lost(error.what());
        }
    }
    // Every event queued, then one look; none after the daemon's last word.
    // A socket that fails, even without a word to read (ECONNRESET), is the
    // daemon gone: the kernel reports its error at the read, not at poll alone.
    void read_events()
    {
        QByteArray last;
        try {
            while (events_) {
                const std::optional<QByteArray> event = events_->next(0);
                if (!event)
                    break;
                last = *event;
            }
        } catch (const vtl::wifi::Interrupted&) {
            throw;
        } catch (const std::runtime_error& error) {
            lost(error.what());
            return;
        }
        if (last.isEmpty())
            return;
        if (last.contains("CTRL-EVENT-TERMINATING"))
            lost(nullptr);
        else
            look();
    }
    void tick()
    {
        if (!reachable_)
            connect();
        look();
    }
    void run()
    {
        tick();
        QDeadlineTimer next_tick(interval_);
        for (;;) {
            pollfd watched[3] = {{events_ ? events_->descriptor() : -1, POLLIN, 0},
                                 {STDOUT_FILENO, short(records_.waiting() ? POLLOUT : 0), 0},
                                 {vtl::wifi::interruption_descriptor(), POLLIN, 0}};
            const int ready = ::poll(watched, 3, int(std::min<qint64>(next_tick.remainingTime(), std::numeric_limits<int>::max())));
            throw_if_interrupted();
            if (ready < 0 && errno != EINTR)
                throw std::runtime_error(std::string("Could not wait: ") + std::strerror(errno));
            if (watched[1].revents & (POLLERR | POLLHUP))
                return;
            if ((watched[1].revents & POLLOUT) && !records_.write())
                return;
            if (watched[0].revents)
                read_events();
            if (next_tick.hasExpired()) {
                tick();
                next_tick.setRemainingTime(interval_);
            }
        }
    }

private:
    // The daemon is gone, or will not answer: told once an outage, with the
    // message of the first failure that tells why.
    void lost(const char* why)
    {
        events_.reset();
        reachable_ = false;
        records_.offer(as_json_ ? QByteArray("{\"state\":\"UNREACHABLE\"}\n") : QByteArray("State: UNREACHABLE\n\n"));
        if (why && !told_) {
            report(why);
            told_ = true;
        }
    }

    const Client& client_;
    const bool as_json_;
    const int interval_ = interval_ms();
    std::unique_ptr<Events> events_;
    Records records_;
    bool reachable_ = false;
    bool told_ = false;
};

} // namespace

void follow(const Client& client, bool as_json)
{
    const PipeSignalIgnored pipe_signal;
    Follower follower(client, as_json);
    follower.run();
}
