#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class ChildProcess;

// A system program by name, on PATH or in the administrator's directories.
QString system_program(const char* name);

// Debian's wpa_supplicant with the wired driver on the loopback interface
// (or `interface`), with a private control directory and configuration file.
class RealDaemon {
public:
    // `networks` is appended to the configuration file as it stands.
    explicit RealDaemon(const QByteArray& networks = QByteArray(), const QString& interface = QStringLiteral("lo"));
    ~RealDaemon();
    RealDaemon(const RealDaemon&) = delete;
    RealDaemon& operator=(const RealDaemon&) = delete;

    // Empty when the daemon answers PING; otherwise why it does not. Once
    // stopped, it starts again with the same socket and file.
    QString start();
    void stop() { process_.reset(); }

    QString socket_path() const { return directory_.filePath(QStringLiteral("ctrl/") + interface_); }
    QString config_path() const { return directory_.filePath(QStringLiteral("wpa.conf")); }
    QByteArray config() const;
    // One request through the daemon's socket, for setting up and checking.
    QByteArray ask(const QByteArray& request) const;

private:
    QTemporaryDir directory_;
    QByteArray networks_;
    QString interface_;
    std::unique_ptr<ChildProcess> process_;
};
