#pragma once

#include "child_process.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

// What a user sees of one run of a built program.
struct ToolRun {
    QByteArray out;
    QByteArray err;
    int status = -1;
    qint64 pid = 0;
};

// How long a test lets what should take `expected_ms` go on before it takes
// it for a hang or a wait the tool must not make: three times as long and at
// least 2 s more, times VANTREL_TEST_SLOWDOWN (the emulated tablet build's
// tests set it; 1 when unset). A bound on how fast is the benchmark's to keep.
int hang_limit_ms(int expected_ms);

// The environment the tests start from: this process's, without the
// variables that would point a tool at real devices or files.
QProcessEnvironment clean_environment();

// The command line that starts `program`: through the emulator in a cross build.
QStringList tool_command(const QString& program, const QStringList& arguments);

// Runs `command` as it stands, with `environment` and `input` on its standard input.
ToolRun run_command(const QStringList& command, const QProcessEnvironment& environment,
                    const QByteArray& input = QByteArray());

// Runs `program` (started through the emulator in a cross build) with
// `arguments`, `environment` and `input` on its standard input.
ToolRun run_tool(const QString& program, const QStringList& arguments,
                 const QProcessEnvironment& environment, const QByteArray& input = QByteArray());

// The environment for running vantrel-wifi against the daemon at `socket`,
// with `settings` (NAME=value) added.
QProcessEnvironment wifi_environment(const QString& socket, const QStringList& settings = QStringList());

ToolRun run_wifi(const QProcessEnvironment& environment, const QStringList& arguments,
                 const QByteArray& input = QByteArray());

// `command` in a private mount namespace (root only) after the shell commands
// `setup`, which see the command's words as "$@": a test may then own a
// built-in path such as /run/wpa_supplicant without touching this machine's.
QStringList in_private_mounts(const QString& setup, const QStringList& command);

// "a b  c" as the argument list a, b, c.
QStringList words(const char* line);

// The temporary control-socket files that process `pid` left in /tmp.
QStringList leftover_sockets(qint64 pid);
