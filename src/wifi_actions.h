#pragma once

// The actions of vantrel-wifi and what they share. Each runs with the
// command line as given; the table in wifi_main.cpp names them.

#include "vtl/wifi.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <stdexcept>
#include <vector>

constexpr int connect_timeout_ms = 15000;

// The words as given: a network name is the bytes the user typed.
struct CommandLine {
    QByteArray action;
    QByteArrayList operands;
    bool as_json = false;
    bool cached = false;
    bool password_stdin = false;
    bool open = false;
    bool yes = false;
    bool hidden = false;
    bool follow = false;
    vtl::wifi::EnterpriseWords values;
};

// A value option was given (wifi_main.cpp holds their table).
bool any_value(const CommandLine& line);

// A failure already told on standard error: the run ends with 1 and says no more.
struct Told {};

void write_line(const QString& text);
// The action's result: `text` as a line, or the JSON acknowledgment.
void acknowledge(const CommandLine& line, const QString& text);
QString connected_line(const QString& ssid);
// The network the operand names, as connect looks it up.
vtl::wifi::Network looked_up(const vtl::wifi::Client& client, const CommandLine& line);

// Joins of enterprise networks: a new one as connect asks, and as pick asks
// at a terminal, where a server the check does not know may be trusted.
void join_enterprise(const vtl::wifi::Client& client, const vtl::wifi::Network& item, vtl::wifi::Enterprise chosen,
                     const QString& prompt, bool hidden_network, bool read_secret = true);
vtl::wifi::Enterprise chosen_by(const CommandLine& line);
std::runtime_error not_enterprise(const vtl::wifi::Network& item);
void join_picked_enterprise(const vtl::wifi::Client& client, const vtl::wifi::Network& item);

void show_status(const vtl::wifi::Client& client, const CommandLine& line);
void list(const vtl::wifi::Client& client, const CommandLine& line);
void pick(const vtl::wifi::Client& client, const CommandLine& line);
void connect(const vtl::wifi::Client& client, const CommandLine& line);
void server(const vtl::wifi::Client& client, const CommandLine& line);
void trust(const vtl::wifi::Client& client, const CommandLine& line);
void change_password(const vtl::wifi::Client& client, const CommandLine& line);
void disconnect(const vtl::wifi::Client& client, const CommandLine& line);
void forget(const vtl::wifi::Client& client, const CommandLine& line);
void show_saved(const vtl::wifi::Client& client, const CommandLine& line);
void set_priority(const vtl::wifi::Client& client, const CommandLine& line);
void set_autojoin(const vtl::wifi::Client& client, const CommandLine& line);
