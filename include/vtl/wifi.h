#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace vtl::wifi {

// The daemon's view of the current link.
struct Status {
    QString state;
    QString ssid;
    QString address;
    int saved_id = -1;
};

enum class Security : int { Open = 0, Personal = 1, Unsupported = 2 };

// One network as scanned and/or saved. A signal of -100 marks one not in range.
struct Network {
    QString ssid;
    QString bssid;
    QString flags;
    int frequency = 0;
    int signal = -100;
    int saved_id = -1;
    bool current = false;
    Security security = Security::Unsupported;
};

// Speaks wpa_supplicant's control protocol. Holds nothing but the socket
// path: every exchange opens and tears down a socket of its own.
class Client {
public:
    explicit Client(QString socket_path);

    QByteArray command(const QByteArray& request, int timeout_ms) const;
    Status status() const;
    std::vector<Network> networks(bool scan) const;
    void connect_saved(int id, const QString& ssid, int timeout_ms) const;
    void connect_new(const QString& ssid, Security security, const QString& password, int timeout_ms) const;
    void disconnect() const;
    void forget(const QString& ssid) const;

    static Status parse_status(const QByteArray& text);
    static std::vector<Network> parse_networks(const QByteArray& scan, const QByteArray& saved,
                                               const Status& status);
    static QString security_name(Security value);
    static QByteArray encode_ssid(const QString& text);
    static QByteArray encode_password(const QString& text);

private:
    static void require_ok(const QByteArray& reply, const char* operation);
    void send_expecting_ok(const QByteArray& request, const char* operation) const;
    void send_quietly(const QByteArray& request) const;
    void wait_connected(const QString& ssid, int timeout_ms) const;
    std::vector<int> enabled_profiles(int except) const;
    void enable_again(const std::vector<int>& ids) const;
    void configure(int id, const QString& ssid, Security security, const QString& password) const;

    QString socket_path_;
};

// Network names come from anyone nearby: the UTF-8 of `text` with every
// control character (C0, DEL, C1) written as \x and two hex digits, so that
// printing it cannot steer the terminal.
QByteArray terminal_text(const QString& text);

} // namespace vtl::wifi
