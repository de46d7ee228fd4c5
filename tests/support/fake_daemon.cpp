#include "fake_daemon.h"

#include "vtl/wifi.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

sockaddr_un address_of(const QString& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = path.toLocal8Bit();
    std::memcpy(address.sun_path, name.constData(), name.size() + 1);
    return address;
}

} // namespace

FakeDaemon::FakeDaemon() : path_(directory_.filePath(QStringLiteral("wlan0")))
{
    descriptor_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = address_of(path_);
    if (descriptor_ < 0 || ::bind(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::pipe(stop_) != 0)
        throw std::runtime_error("fake daemon: cannot create its socket");
    clock_.start();
    thread_ = std::thread([this] { serve(); });
}

FakeDaemon::~FakeDaemon()
{
    const char stop = 0;
    if (::write(stop_[1], &stop, 1) != 1)
        std::terminate();
    thread_.join();
    for (const Relay& relay : relays_)
        ::close(relay.descriptor);
    ::close(stop_[0]);
    ::close(stop_[1]);
    ::close(descriptor_);
}

void FakeDaemon::script(const QByteArray& request, const QList<Reply>& replies)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    scripts_[request] = replies;
}

void FakeDaemon::forward_to(const QString& socket)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    forward_ = socket;
}

void FakeDaemon::translate(const QByteArray& from, const QByteArray& to)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    from_ = from;
    to_ = to;
}

void FakeDaemon::announce(const QByteArray& request, const QList<Event>& events)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    announcements_[request] = events;
}

void FakeDaemon::hold(const QList<AccessPoint>& table)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    table_ = table;
}

void FakeDaemon::keep_profiles(const QByteArray& listed)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    profiles_.emplace();
    for (const QByteArray& line : listed.split('\n').mid(1)) {
        const QByteArrayList columns = line.split('\t');
        if (columns.size() >= 2)
            profiles_->append({columns.at(0).toInt(), columns.at(1), columns.value(3)});
    }
}

QByteArray FakeDaemon::profiles() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    QByteArray listed;
    for (const SavedProfile& profile : profiles_.value_or(QList<SavedProfile>()))
        listed += QByteArray::number(profile.id) + ' ' + profile.ssid + ' ' + profile.flags + '|';
    return listed;
}

// Called with the lock held, as are the two below.
FakeDaemon::SavedProfile* FakeDaemon::saved(int id)
{
    const auto found = std::find_if(profiles_->begin(), profiles_->end(), [id](const SavedProfile& p) { return p.id == id; });
    return found == profiles_->end() ? nullptr : &*found;
}

// The kept table's answer, as the daemon's, to LIST_NETWORKS and to the
// requests on profiles; empty for any other request.
QByteArray FakeDaemon::profile_reply(const QByteArray& request)
{
    const QByteArrayList words = request.split(' ');
    if (request == "LIST_NETWORKS") {
        QByteArray listed = "network id / ssid / bssid / flags\n";
        for (const SavedProfile& profile : *profiles_)
            listed += QByteArray::number(profile.id) + '\t' + profile.ssid + "\tany\t" + profile.flags + '\n';
        return listed;
    }
    if (request == "ADD_NETWORK")
        return QByteArray::number(profiles_->isEmpty() ? 0 : profiles_->last().id + 1) + '\n';
    if (!words.first().endsWith("_NETWORK") || words.first() == "GET_NETWORK" || words.first() == "LIST_NETWORKS")
        return QByteArray();
    return saved(words.value(1).toInt()) ? "OK\n" : "FAIL\n";
}

void FakeDaemon::change_profiles(const QByteArray& request, const QByteArray& reply)
{
    const QByteArrayList words = request.split(' ');
    const int id = words.value(1).toInt();
    const auto set_disabled = [](SavedProfile& profile, bool disabled) {
        profile.flags.replace("[DISABLED]", "");
        profile.flags += disabled ? "[DISABLED]" : "";
    };
    SavedProfile* profile = saved(id);
    if (words.first() == "ADD_NETWORK" && reply.trimmed().toInt() >= 0 && !reply.startsWith("FAIL"))
        profiles_->append({reply.trimmed().toInt(), QByteArray(), "[DISABLED]"});
    else if (reply.trimmed() != "OK" || !profile)
        return;
    else if (words.first() == "SET_NETWORK" && words.value(2) == "ssid")
        profile->ssid = listed_name(QByteArray::fromHex(words.value(3)));
    else if (words.first() == "SET_NETWORK" && words.value(2) == "disabled")
        set_disabled(*profile, words.value(3) == "1");
    else if (words.first() == "ENABLE_NETWORK" || words.first() == "DISABLE_NETWORK")
        set_disabled(*profile, words.first() == "DISABLE_NETWORK");
    else if (words.first() == "REMOVE_NETWORK")
        profiles_->removeIf([id](const SavedProfile& p) { return p.id == id; });
    else if (words.first() == "SELECT_NETWORK")
        std::for_each(profiles_->begin(), profiles_->end(), [&](SavedProfile& each) { set_disabled(each, each.id != id); });
}

namespace {

constexpr qsizetype reply_buffer = 4096;

// Appends `text` if it fits with the terminating NUL the daemon's snprintf needs.
bool append_whole(QByteArray& reply, const QByteArray& text)
{
    if (reply.size() + text.size() >= reply_buffer)
        return false;
    reply += text;
    return true;
}

QByteArray scan_results(const QList<FakeDaemon::AccessPoint>& table)
{
    QByteArray reply = "bssid / frequency / signal level / flags / ssid\n";
    for (const FakeDaemon::AccessPoint& point : table) {
        const QByteArray line = point.bssid + '\t' + QByteArray::number(point.frequency) + '\t'
            + QByteArray::number(point.level) + '\t' + point.flags + '\t' + point.ssid + '\n';
        if (!append_whole(reply, line))
            break;
    }
    return reply;
}

// "BSS RANGE=<first>- MASK=0x21887": entries by id (the table index) from <first>.
QByteArray bss_page(const QList<FakeDaemon::AccessPoint>& table, const QByteArray& request)
{
    QByteArray reply;
    for (qsizetype id = request.mid(10).split('-').first().toInt(); id < table.size(); ++id) {
        const FakeDaemon::AccessPoint& point = table.at(id);
        const QByteArray entry = "id=" + QByteArray::number(id) + "\nbssid=" + point.bssid
            + "\nfreq=" + QByteArray::number(point.frequency) + "\nlevel=" + QByteArray::number(point.level)
            + "\nflags=" + point.flags + "\nssid=" + point.ssid + (id + 1 == table.size() ? "\n####\n" : "\n====\n");
        if (!append_whole(reply, entry))
            break;
    }
    return reply;
}

} // namespace

void FakeDaemon::inject(Fault fault, const QByteArray& request, int occurrence)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    injections_.append({fault, request, occurrence});
}

void FakeDaemon::meddle(const QByteArray& request, const QByteArrayList& requests, int occurrence)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    meddle_request_ = request;
    meddling_ = requests;
    meddle_countdown_ = occurrence;
}

QList<QByteArray> FakeDaemon::requests() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

QList<QByteArray> FakeDaemon::senders() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return senders_;
}

QList<unsigned> FakeDaemon::sender_modes() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return modes_;
}

qint64 FakeDaemon::interval(const QByteArray& from, const QByteArray& to) const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const qsizetype end = requests_.lastIndexOf(to);
    const qsizetype start = end > 0 ? requests_.lastIndexOf(from, end - 1) : -1;
    return start >= 0 ? times_.at(end) - times_.at(start) : -1;
}

FakeDaemon::Reply FakeDaemon::next_reply(const QByteArray& request)
{
    QString forward;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = scripts_.find(request);
        if (found != scripts_.end() && !found->second.isEmpty()) {
            QList<Reply>& replies = found->second;
            return replies.size() > 1 ? replies.takeFirst() : replies.first();
        }
        if (const QByteArray kept = profiles_ ? profile_reply(request) : QByteArray(); !kept.isEmpty())
            return kept;
        if (table_ && request == "SCAN_RESULTS")
            return scan_results(*table_);
        if (table_ && request.startsWith("BSS RANGE=") && request.endsWith("- MASK=0x21887"))
            return bss_page(*table_, request);
        if (forward_.isEmpty())
            return QByteArray("UNKNOWN COMMAND\n");
        forward = forward_;
    }
    try {
        const vtl::wifi::Client daemon(forward);
        QByteArrayList meddling;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (request == meddle_request_ && --meddle_countdown_ == 0)
                meddling.swap(meddling_);
        }
        for (const QByteArray& other : meddling)
            daemon.command(other, 10000);
        QByteArray forwarded = request;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!from_.isEmpty())
                forwarded.replace(from_, to_);
        }
        return daemon.command(forwarded, 10000) + '\n';
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

FakeDaemon::Fault FakeDaemon::fault_for(const QByteArray& request)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    Fault met = Fault::None;
    for (Injection& injection : injections_) {
        if (injection.request == request && --injection.countdown == 0)
            met = injection.fault;
    }
    return met;
}

namespace {

// The client's process id is part of its temporary socket's name: /tmp/vantrel-wpa-PID-N.
void signal_client(const QByteArray& sender, int signal)
{
    const QList<QByteArray> parts = sender.split('-');
    const pid_t client = parts.size() == 4 ? pid_t(parts.at(2).toInt()) : 0;
    if (client > 0)
        ::kill(client, signal);
}

} // namespace

// Our own socket on the daemon, attached: the events it sends go to `client`.
// The daemon's reply, for the client.
FakeDaemon::Reply FakeDaemon::attach(const sockaddr_un& client, socklen_t length)
{
    const int descriptor = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un local = address_of(directory_.filePath(QStringLiteral("events-%1").arg(relays_made_++)));
    sockaddr_un daemon = address_of(forward_);
    char reply[16] = {};
    pollfd answer{descriptor, POLLIN, 0};
    if (::bind(descriptor, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0
        || ::connect(descriptor, reinterpret_cast<sockaddr*>(&daemon), sizeof daemon) != 0
        || ::send(descriptor, "ATTACH", 6, 0) != 6 || ::poll(&answer, 1, 3000) != 1
        || ::recv(descriptor, reply, sizeof reply - 1, 0) <= 0) {
        ::close(descriptor);
        return std::nullopt;
    }
    relays_.push_back({descriptor, client, length});
    return QByteArray(reply);
}

// A client gone (its socket removed) is not sent to again.
void FakeDaemon::pass_on_events()
{
    char buffer[8192];
    for (auto relay = relays_.begin(); relay != relays_.end();) {
        const ssize_t size = ::recv(relay->descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
        if (size > 0 && ::sendto(descriptor_, buffer, size_t(size), 0, reinterpret_cast<sockaddr*>(&relay->client),
                                 relay->length) < 0) {
            ::close(relay->descriptor);
            relay = relays_.erase(relay);
            continue;
        }
        if (size <= 0)
            ++relay;
    }
}

// Called from the serving thread only, as are the two below.
void FakeDaemon::schedule(const QByteArray& request, const sockaddr_un& from, socklen_t length)
{
    if (request == "ATTACH")
        attached_.push_back({from, length});
    QList<Event> events;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = announcements_.find(request);
        if (found != announcements_.end())
            events = found->second;
    }
    const std::vector<Client> targets = request == "ATTACH" ? std::vector<Client>{{from, length}} : attached_;
    for (const Event& event : events) {
        for (const Client& target : targets)
            pending_.push_back({clock_.elapsed() + event.after_ms, event, target});
    }
}

// A client that does not read, or has gone, loses them, as from the daemon.
void FakeDaemon::send_due()
{
    for (auto pending = pending_.begin(); pending != pending_.end();) {
        if (pending->due > clock_.elapsed()) {
            ++pending;
            continue;
        }
        if (pending->event.table) {
            const std::lock_guard<std::mutex> lock(mutex_);
            table_ = pending->event.table;
        }
        const QByteArray& text = pending->event.text;
        if (pending->event.breaks)
            break_socket(pending->to.address, pending->to.length);
        else
            ::sendto(descriptor_, text.constData(), size_t(text.size()), MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr*>(&pending->to.address), pending->to.length);
        pending = pending_.erase(pending);
    }
}

int FakeDaemon::next_due_ms() const
{
    qint64 next = -1;
    for (const Pending& pending : pending_)
        next = next < 0 ? pending.due : std::min(next, pending.due);
    return next < 0 ? -1 : int(std::max<qint64>(next - clock_.elapsed(), 0));
}

void FakeDaemon::serve()
{
    QByteArray buffer(65536, '\0');
    for (;;) {
        std::vector<pollfd> watched = {{descriptor_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        for (const Relay& relay : relays_)
            watched.push_back({relay.descriptor, POLLIN, 0});
        if (::poll(watched.data(), nfds_t(watched.size()), next_due_ms()) < 0 || (watched[1].revents & POLLIN))
            break;
        send_due();
        pass_on_events();
        if (!(watched[0].revents & POLLIN))
            continue;
        sockaddr_un from{};
        socklen_t length = sizeof from;
        const ssize_t size = ::recvfrom(descriptor_, buffer.data(), buffer.size(), 0,
                                        reinterpret_cast<sockaddr*>(&from), &length);
        // Datagrams from unnamed sockets only fill the queue for a stall.
        if (size < 0 || length <= sizeof(sa_family_t))
            continue;
        const QByteArray request = buffer.left(size);
        const QByteArray sender(from.sun_path);
        struct stat info {};
        const bool named = length > sizeof(sa_family_t) && ::stat(from.sun_path, &info) == 0;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            requests_.append(request);
            senders_.append(sender);
            modes_.append(named ? unsigned(info.st_mode & 07777) : 0u);
            times_.append(clock_.elapsed());
        }
        bool relayed = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            relayed = request == "ATTACH" && !forward_.isEmpty() && scripts_.count(request) == 0;
        }
        const Fault fault = fault_for(request);
        Reply reply = fault == Fault::Refuse ? Reply("FAIL\n") : relayed ? attach(from, length) : next_reply(request);
        if (reply) {
            // A lost reply's request was carried out all the same.
            const std::lock_guard<std::mutex> lock(mutex_);
            if (profiles_)
                change_profiles(request, *reply);
        }
        if (fault == Fault::Lose)
            reply.reset();
        if (reply)
            ::sendto(descriptor_, reply->constData(), size_t(reply->size()), 0,
                     reinterpret_cast<sockaddr*>(&from), length);
        if (reply && (reply->startsWith("OK") || !request.startsWith("ATTACH"))) {
            schedule(request, from, length);
            send_due();
        }
        if (fault == Fault::Interrupt || fault == Fault::Terminate)
            signal_client(sender, fault == Fault::Interrupt ? SIGINT : SIGTERM);
        if (fault == Fault::Stall)
            stall();
    }
}

// A socket connected to ours fails with ECONNRESET, without a word to read,
// when ours drops a connection to it while a datagram waits in our queue.
void FakeDaemon::break_socket(const sockaddr_un& client, socklen_t length)
{
    const sockaddr_un address = address_of(path_);
    const int filler = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ::sendto(filler, "", 0, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(filler);
    const sockaddr unconnected{AF_UNSPEC, {}};
    ::connect(descriptor_, reinterpret_cast<const sockaddr*>(&client), length);
    ::connect(descriptor_, &unconnected, sizeof unconnected);
}

void FakeDaemon::stall()
{
    const sockaddr_un address = address_of(path_);
    std::vector<int> fillers;
    for (bool room = true; room;) {
        fillers.push_back(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        room = ::sendto(fillers.back(), "", 0, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    pollfd stop{stop_[0], POLLIN, 0};
    ::poll(&stop, 1, 3500);
    for (const int filler : fillers)
        ::close(filler);
}

QByteArray listed_name(const QByteArray& name)
{
    QByteArray field;
    for (const char c : name) {
        const bool plain = uchar(c) >= 0x20 && uchar(c) < 0x7f;
        field += c == '"' || c == '\\' ? "\\" + QByteArray(1, c) : plain ? QByteArray(1, c) : "\\x" + QByteArray(1, c).toHex();
    }
    return field;
}

QList<QByteArray> changing(const QList<QByteArray>& requests)
{
    static const QByteArrayList changes = {"ADD_NETWORK",    "SET_NETWORK",    "ENABLE_NETWORK", "DISABLE_NETWORK",
                                           "SELECT_NETWORK", "REMOVE_NETWORK", "SAVE_CONFIG",    "SCAN",
                                           "DISCONNECT"};
    QList<QByteArray> changed;
    for (const QByteArray& request : requests) {
        if (changes.contains(request.split(' ').first()))
            changed.append(request);
    }
    return changed;
}

QList<QByteArray> merged_polls(QList<QByteArray> requests)
{
    for (qsizetype at = requests.size() - 1; at > 0; --at) {
        if (requests.at(at) == "STATUS" && requests.at(at - 1) == "STATUS")
            requests.removeAt(at);
    }
    return requests;
}

QList<FakeDaemon::AccessPoint> crowded_table(int count)
{
    QList<FakeDaemon::AccessPoint> table;
    for (int index = 0; index < count; ++index) {
        table.append({"02:00:00:00:" + QByteArray::number(index / 256, 16).rightJustified(2, '0') + ':'
                          + QByteArray::number(index % 256, 16).rightJustified(2, '0'),
                      2412, -30 - (index * 37) % 61, "[WPA2-PSK-CCMP][ESS]",
                      "Net" + QByteArray::number(index % 100).rightJustified(3, '0')});
    }
    return table;
}
