#pragma once

#include "child_process.h"
#include "tool_run.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// vantrel-wifi with its standard input and error on a pseudo-terminal, as a
// user at the tablet's shell meets it; standard output goes to a pipe.
class TerminalRun {
public:
    TerminalRun(const QStringList& command, const QProcessEnvironment& environment)
    {
        int output[2];
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0 || ::pipe(output) != 0)
            return;
        ExecImage image(command, environment);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            ::ioctl(slave_, TIOCSCTTY, 0);
            ::dup2(slave_, STDIN_FILENO);
            ::dup2(slave_, STDERR_FILENO);
            ::dup2(output[1], STDOUT_FILENO);
            image.exec();
        }
        ::close(output[1]);
        output_ = output[0];
    }
    ~TerminalRun()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(master_);
        ::close(slave_);
        ::close(output_);
    }

    pid_t pid() const { return pid_; }
    const QByteArray& screen() const { return screen_; }

    // Reads the terminal until `text` has appeared on it `times` times. The
    // longest step of a dialogue is a join of about 3 s.
    bool wait_for(const QByteArray& text, int times = 1)
    {
        QElapsedTimer timer;
        timer.start();
        while (screen_.count(text) < times && timer.elapsed() < hang_limit_ms(6000))
            read_screen(100);
        return screen_.count(text) >= times;
    }
    void type(const QByteArray& keys) { QVERIFY(::write(master_, keys.constData(), keys.size()) == keys.size()); }
    bool echo() const
    {
        termios settings{};
        ::tcgetattr(master_, &settings);
        return settings.c_lflag & ECHO;
    }
    bool wait_for_echo(bool on)
    {
        QElapsedTimer timer;
        timer.start();
        while (echo() != on && timer.elapsed() < hang_limit_ms(0))
            ::usleep(5000);
        return echo() == on;
    }
    // The exit status, or 128 plus the signal that ended the process (SIGKILL:
    // it still waited, on a question no one answers, after a join's time).
    int finish()
    {
        int status = 0;
        QElapsedTimer timer;
        for (timer.start(); ::waitpid(pid_, &status, WNOHANG) == 0;) {
            if (timer.elapsed() > hang_limit_ms(6000)) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            read_screen(10);
        }
        pid_ = -1;
        read_screen(0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    QByteArray output()
    {
        QByteArray result;
        char buffer[4096];
        ssize_t size;
        while ((size = ::read(output_, buffer, sizeof buffer)) > 0)
            result.append(buffer, size);
        return result;
    }

private:
    void read_screen(int timeout_ms)
    {
        pollfd ready{master_, POLLIN, 0};
        while (::poll(&ready, 1, timeout_ms) > 0) {
            char buffer[4096];
            const ssize_t size = ::read(master_, buffer, sizeof buffer);
            if (size <= 0)
                return;
            screen_.append(buffer, size);
            timeout_ms = 0;
        }
    }

    int master_ = -1;
    int slave_ = -1;
    int output_ = -1;
    pid_t pid_ = -1;
    QByteArray screen_;
};

