#include "tool_run.h"

#include <QDir>
#include <QProcess>

QProcessEnvironment clean_environment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : environment.keys()) {
        if (name.startsWith(QLatin1String("VANTREL_")))
            environment.remove(name);
    }
    return environment;
}

ToolRun run_tool(const QString& program, const QStringList& arguments,
                 const QProcessEnvironment& environment, const QByteArray& input)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    const QString emulator = QStringLiteral(VANTREL_EMULATOR);
    if (emulator.isEmpty())
        process.start(program, arguments);
    else
        process.start(emulator, QStringList{program} + arguments);
    ToolRun run;
    if (!process.waitForStarted(10000))
        return run;
    run.pid = process.processId();
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    if (process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    return run;
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

QStringList leftover_sockets(qint64 pid)
{
    const QString pattern = QStringLiteral("vantrel-wpa-%1-*").arg(pid);
    return QDir(QStringLiteral("/tmp")).entryList({pattern}, QDir::System | QDir::Files | QDir::Hidden);
}
