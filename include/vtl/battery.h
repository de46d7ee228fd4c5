#pragma once

#include <QByteArray>
#include <QString>

namespace vtl {

// Charge and charging state of the chosen power supply.
struct BatteryInfo {
    int percent = -1;
    QString status;

    bool available() const { return percent >= 0; }
    QString percentage() const;
    QString compact() const;
    QString report() const;
};

// The cellular modem as its service and the user's settings describe it.
struct ModemInfo {
    bool selected = false;
    bool sharing = false;
    bool sharing_active = false;
    QString wifi_ip;
    QString sharing_message;
    int proxy_port = 1080;
    QString policy = QStringLiteral("off");
    QString state = QStringLiteral("off");
    QString number = QStringLiteral("#777");
    QString call_number = QStringLiteral("#777");
    QString message;
    int idle_seconds = 0;
    int connections = 0;
    int connected_seconds = 0;
    int idle_remaining = -1;

    QString compact() const;
};

// The mesh radio as its service and the user's settings describe it.
struct RadioInfo {
    QString state = QStringLiteral("off");
    QString name;
    QString gid;
    QString ipv4;
    QString ipv6;
    QString peers;
    QString gateway;
    QString message;
};

// Readers never fail: whatever is missing or malformed reads as its default.
// An empty path argument selects the environment variable, else the default.
BatteryInfo read_battery(const QString& requested_root);
ModemInfo read_modem(const QString& status_path, const QString& settings_path);
RadioInfo read_radio();

// What the prompt shows: the charge and the modem's line.
QString prompt_line(const BatteryInfo& battery, const ModemInfo& modem);
// What a person is shown: the battery's report and the modem's line.
QString report_text(const BatteryInfo& battery, const ModemInfo& modem);

// Everything the readers read, as one compact JSON object and a newline for
// a status bar: "text" as the prompt shows it, "tooltip" as the report does,
// "percentage" (when known) and "class" (the charging state), and each
// record whole under "battery", "modem" and "radio". DEL and the C1
// controls are \u escapes, as the controls below them are.
QByteArray status_json(const BatteryInfo& battery, const ModemInfo& modem, const RadioInfo& radio);

} // namespace vtl
