#pragma once

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

// The environment the tests start from: this process's, without the
// variables that would point a tool at real devices or files.
QProcessEnvironment clean_environment();

// Runs `program` (started through the emulator in a cross build) with
// `arguments`, `environment` and `input` on its standard input.
ToolRun run_tool(const QString& program, const QStringList& arguments,
                 const QProcessEnvironment& environment, const QByteArray& input = QByteArray());

// The temporary control-socket files that process `pid` left in /tmp.
QStringList leftover_sockets(qint64 pid);
