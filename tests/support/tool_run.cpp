#include "tool_run.h"

#include "child_process.h"

#include <QDateTime>
#include <QDir>
#include <QStandardPaths>

#include <algorithm>

int hang_limit_ms(int expected_ms)
{
    static const int slowdown = std::max(1, qEnvironmentVariableIntValue("VANTREL_TEST_SLOWDOWN"));
    return std::max(3 * expected_ms, expected_ms + 2000) * slowdown;
}

QProcessEnvironment clean_environment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : environment.keys()) {
        if (name.startsWith(QLatin1String("VANTREL_")))
            environment.remove(name);
    }
    return environment;
}

QStringList in_private_mounts(const QString& setup, const QStringList& command)
{
    return QStringList{QStandardPaths::findExecutable(QStringLiteral("unshare")), QStringLiteral("-m"),
                       QStringLiteral("/bin/sh"), QStringLiteral("-ec"),
                       setup + QStringLiteral("\nexec \"$@\""), QStringLiteral("sh")}
        + command;
}

QStringList tool_command(const QString& program, const QStringList& arguments)
{
    QStringList emulator = QStringLiteral(VANTREL_EMULATOR).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (emulator.isEmpty())
        return QStringList{program} + arguments;
    emulator.first() = QStandardPaths::findExecutable(emulator.first());
    return emulator + QStringList{program} + arguments;
}

ToolRun run_command(const QStringList& command, const QProcessEnvironment& environment, const QByteArray& input)
{
    ChildProcess child(command, environment);
    ToolRun run;
    if (!child.started())
        return run;
    run.pid = child.pid();
    child.send_input(input);
    // The longest run waits for a connection's 15 s and then undoes.
    run.status = child.finish(run.out, run.err, hang_limit_ms(20000));
    return run;
}

ToolRun run_tool(const QString& program, const QStringList& arguments,
                 const QProcessEnvironment& environment, const QByteArray& input)
{
    return run_command(tool_command(program, arguments), environment, input);
}

QProcessEnvironment wifi_environment(const QString& socket, const QStringList& settings)
{
    QProcessEnvironment environment = clean_environment();
    environment.insert(QStringLiteral("VANTREL_WPA_SOCKET"), socket);
    for (const QString& setting : settings)
        environment.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
    return environment;
}

ToolRun run_wifi(const QProcessEnvironment& environment, const QStringList& arguments, const QByteArray& input)
{
    return run_tool(QStringLiteral(VANTREL_WIFI_BINARY), arguments, environment, input);
}

QStringList words(const char* line)
{
    return QString::fromUtf8(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// A file older than this suite is a killed earlier run's, whose pid this run's
// tool may have been given again: not this tool's. A second's margin for the
// file system's coarser clock.
static const QDateTime suite_start = QDateTime::currentDateTime().addSecs(-1);

QStringList leftover_sockets(qint64 pid)
{
    const QString pattern = QStringLiteral("vantrel-wpa-%1-*").arg(pid);
    QStringList left;
    for (const QFileInfo& file :
         QDir(QStringLiteral("/tmp")).entryInfoList({pattern}, QDir::System | QDir::Files | QDir::Hidden)) {
        if (file.lastModified() >= suite_start)
            left.append(file.fileName());
    }
    return left;
}
