#include "vtl/battery.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace {

constexpr char usage_text[] = "Usage: vantrel-battery [--percentage|--prompt]\n";

enum class Mode { Report, Short, Prompt, Usage };

Mode mode_of(int argc, char** argv)
{
    if (argc == 1)
        return Mode::Report;
    if (argc != 2)
        return Mode::Usage;
    if (std::strcmp(argv[1], "--percentage") == 0 || std::strcmp(argv[1], "--short") == 0)
        return Mode::Short;
    if (std::strcmp(argv[1], "--prompt") == 0)
        return Mode::Prompt;
    return Mode::Usage;
}

} // namespace

int main(int argc, char** argv)
{
    // Judged before the application object, which removes words it claims for itself.
    const Mode mode = mode_of(argc, argv);
    const QCoreApplication app(argc, argv);
    if (mode == Mode::Usage) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    const vtl::BatteryInfo battery = vtl::read_battery(QString());
    const vtl::ModemInfo modem = vtl::read_modem(QString(), QString());
    QString text;
    if (mode == Mode::Prompt)
        text = battery.percentage() + QStringLiteral(" \u00b7 ") + modem.compact();
    else if (mode == Mode::Short)
        text = battery.percentage();
    else
        text = battery.report() + QLatin1Char('\n') + modem.compact();
    // Written by its length: no byte of a file's text can cut it short.
    const QByteArray line = text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    return mode == Mode::Report && !battery.available() ? 1 : 0;
}
