#include "real_daemon.h"

#include "vtl/wifi.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <stdexcept>

namespace {

QString daemon_program()
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("wpa_supplicant"));
    if (!program.isEmpty())
        return program;
    return QStandardPaths::findExecutable(QStringLiteral("wpa_supplicant"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

} // namespace

RealDaemon::RealDaemon(const QByteArray& networks) : networks_(networks)
{
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.setStandardOutputFile(QProcess::nullDevice());
}

RealDaemon::~RealDaemon()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(5000))
        process_.kill();
    process_.waitForFinished(1000);
}

QString RealDaemon::start()
{
    const QString program = daemon_program();
    if (program.isEmpty())
        return QStringLiteral("wpa_supplicant is not installed");
    QFile file(config_path());
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write ") + config_path();
    file.write("ctrl_interface=" + directory_.filePath(QStringLiteral("ctrl")).toLocal8Bit()
               + "\nupdate_config=1\nap_scan=0\n" + networks_);
    file.close();
    process_.start(program, {QStringLiteral("-D"), QStringLiteral("wired"), QStringLiteral("-i"),
                             QStringLiteral("lo"), QStringLiteral("-c"), config_path()});
    if (!process_.waitForStarted(5000))
        return QStringLiteral("wpa_supplicant did not start: ") + process_.errorString();
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        try {
            if (ask("PING") == "PONG")
                return QString();
        } catch (const std::runtime_error&) {
            // Its socket appears a moment after the process does.
        }
        if (process_.state() == QProcess::NotRunning)
            return QStringLiteral("wpa_supplicant exited at start");
        QThread::msleep(50);
    }
    return QStringLiteral("wpa_supplicant did not answer PING");
}

QByteArray RealDaemon::config() const
{
    QFile file(config_path());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray RealDaemon::ask(const QByteArray& request) const
{
    return vtl::wifi::Client(socket_path()).command(request, 3000);
}
