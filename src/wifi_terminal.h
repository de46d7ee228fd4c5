#pragma once

// How vantrel-wifi meets its standard streams and the terminal: signals,
// the progress line, hidden password entry and the output itself.

#include <QByteArray>
#include <QString>

// Before anything else: a stream the caller closed is opened on /dev/null.
void open_closed_streams();

// A first signal ends the run's waits: the operation undoes what it changed
// and the program exits with 128 + the signal. A second one, which can only
// come while that undoing goes on, ends the program at once.
void watch_signals();
// Throws Interrupted once a signal has come.
void throw_if_interrupted();

// While it lives, each long wait shows a line on standard error when that is
// a terminal; the line is erased before anything else is written, and
// however main ends.
struct ProgressLine {
    ProgressLine();
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
};
void erase_progress() noexcept;

// One line of standard input after `prompt` on standard error, its bytes as
// typed; `hidden`: without echo on a terminal.
QByteArray input_line(const QString& prompt, bool hidden);

// Writes all of `bytes` to standard output or throws: the output is the result.
void write_out(const QByteArray& bytes);
// Writes what standard output takes of `bytes` at once, at most a pipe's
// atomic size, so that a pipe that has said it has room never blocks; how
// much, or -1 when its reader has gone. Throws as write_out does.
qsizetype write_some(const QByteArray& bytes);

// "vantrel-wifi: MESSAGE" on standard error, the message shown safely.
void report(const char* message);
