#pragma once

#include <QByteArray>
#include <QString>

namespace vtl::wifi {

// The daemon's view of the current link.
struct Status {
    QString state;
    QString ssid;
    QString address;
    int saved_id = -1;
};

// Speaks wpa_supplicant's control protocol. Holds nothing but the socket
// path: every exchange opens and tears down a socket of its own.
class Client {
public:
    explicit Client(QString socket_path);

    QByteArray command(const QByteArray& request, int timeout_ms) const;
    Status status() const;

    static Status parse_status(const QByteArray& text);

private:
    QString socket_path_;
};

} // namespace vtl::wifi
