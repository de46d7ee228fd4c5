#include "child_process.h"

#include <QElapsedTimer>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void close_descriptor(int& descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

// Waits for the child; -1 unless it exited normally.
int reap(pid_t pid, int timeout_ms)
{
    QElapsedTimer timer;
    timer.start();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (timer.elapsed() > timeout_ms) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(5000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// U+DC80 to U+DCFF, never text on their own, stand for the bytes 80 to FF.
QByteArray encode_word(const QString& word)
{
    QByteArray bytes;
    QString text;
    for (qsizetype at = 0; at < word.size(); ++at) {
        const char16_t c = word.at(at).unicode();
        const bool paired = at > 0 && word.at(at - 1).isHighSurrogate();
        if (c < 0xdc80 || c > 0xdcff || paired) {
            text += word.at(at);
            continue;
        }
        bytes += text.toUtf8() + char(c - 0xdc00);
        text.clear();
    }
    return bytes + text.toUtf8();
}

} // namespace

QString raw_word(const QByteArray& bytes)
{
    QString word;
    for (const char c : bytes)
        word += QChar(char16_t(uchar(c) < 0x80 ? uchar(c) : 0xdc00 + uchar(c)));
    return word;
}

ExecImage::ExecImage(const QStringList& command, const QProcessEnvironment& environment)
{
    for (const QString& word : command)
        texts_.push_back(encode_word(word));
    const size_t arguments = texts_.size();
    for (const QString& setting : environment.toStringList())
        texts_.push_back(setting.toLocal8Bit());
    // Pointers only once texts_ has stopped growing.
    for (size_t index = 0; index < texts_.size(); ++index)
        (index < arguments ? argv_ : envp_).push_back(texts_[index].data());
    argv_.push_back(nullptr);
    envp_.push_back(nullptr);
}

void ExecImage::exec()
{
    ::execve(argv_[0], argv_.data(), envp_.data());
    ::_exit(127);
}

ChildProcess::ChildProcess(const QStringList& command, const QProcessEnvironment& environment, Output output)
{
    int in[2], out[2], err[2];
    const int made = output == Output::Pipe ? ::pipe2(out, O_CLOEXEC)
                                            : ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out);
    if (made != 0 || ::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return;
    ExecImage image(command, environment);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        image.exec();
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input_ = in[1];
    output_ = out[0];
    error_ = err[0];
}

ChildProcess::~ChildProcess()
{
    stop();
    close_descriptor(input_);
    close_descriptor(output_);
    close_descriptor(error_);
}

void ChildProcess::send_input(const QByteArray& input)
{
    // A child that exits without reading must not end the test with SIGPIPE.
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    for (qsizetype at = 0; at < input.size();) {
        const ssize_t written = ::write(input_, input.constData() + at, size_t(input.size() - at));
        if (written <= 0)
            break;
        at += written;
    }
    std::signal(SIGPIPE, previous);
    close_descriptor(input_);
}

int ChildProcess::finish(QByteArray& out, QByteArray& err, int timeout_ms)
{
    QElapsedTimer timer;
    timer.start();
    pollfd streams[2] = {{output_, POLLIN, 0}, {error_, POLLIN, 0}};
    QByteArray* sinks[2] = {&out, &err};
    while ((streams[0].fd >= 0 || streams[1].fd >= 0) && timer.elapsed() < timeout_ms) {
        if (::poll(streams, 2, 100) <= 0)
            continue;
        for (int index = 0; index < 2; ++index) {
            if (streams[index].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t size = ::read(streams[index].fd, buffer, sizeof buffer);
            if (size > 0)
                sinks[index]->append(buffer, size);
            else
                streams[index].fd = -1;
        }
    }
    const int status = reap(pid_, int(std::max<qint64>(0, timeout_ms - timer.elapsed())));
    pid_ = -1;
    return status;
}

bool ChildProcess::read_output(QByteArray& out, qsizetype size, int timeout_ms)
{
    QElapsedTimer timer;
    timer.start();
    pollfd stream{output_, POLLIN, 0};
    while (out.size() < size && ::poll(&stream, 1, int(std::max<qint64>(0, timeout_ms - timer.elapsed()))) > 0) {
        char buffer[4096];
        const ssize_t got = ::read(output_, buffer, sizeof buffer);
        if (got <= 0)
            break;
        out.append(buffer, got);
    }
    return out.size() >= size;
}

void ChildProcess::close_output()
{
    close_descriptor(output_);
}

void ChildProcess::shut_output()
{
    ::shutdown(output_, SHUT_RD);
}

void ChildProcess::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    reap(pid_, 5000);
    pid_ = -1;
}
