#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

#include <sys/types.h>

#include <vector>

// A command-line word of arbitrary bytes, such as a name that is not UTF-8.
QString raw_word(const QByteArray& bytes);

// A command line and environment ready for execve, prepared before fork so
// that the child only calls exec. Words go out as UTF-8, except the bytes
// that raw_word() carries.
class ExecImage {
public:
    ExecImage(const QStringList& command, const QProcessEnvironment& environment);
    [[noreturn]] void exec();

private:
    std::vector<QByteArray> texts_;
    std::vector<char*> argv_;
    std::vector<char*> envp_;
};

// A program started with fork and exec, its standard streams on pipes.
// QProcess cannot start programs under qemu's user-mode emulation (its clone
// flags are refused there), and the tests run there for the tablet.
class ChildProcess {
public:
    // Standard output on a stream socket in place of a pipe: a reader may
    // then stop taking output without going away.
    enum class Output { Pipe, Socket };
    ChildProcess(const QStringList& command, const QProcessEnvironment& environment, Output output = Output::Pipe);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Writes `input` to the child's standard input and closes it.
    void send_input(const QByteArray& input);
    // Reads both output streams to their end and waits for the exit status
    // (-1 when a signal ended the child or the time ran out).
    int finish(QByteArray& out, QByteArray& err, int timeout_ms);
    // Reads standard output into `out` until it holds `size` bytes or the time is up.
    bool read_output(QByteArray& out, qsizetype size, int timeout_ms);
    // The reader of the child's standard output goes away.
    void close_output();
    // The reader of a socket output stops taking it: the child's writes fail with EPIPE.
    void shut_output();
    // Stops the child with SIGTERM, or SIGKILL when it will not go.
    void stop();

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
};
