#include "wifi_actions.h"
#include "wifi_terminal.h"

#include "vtl/wifi.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <stdexcept>

using vtl::wifi::Client;
using vtl::wifi::Interrupted;

namespace {

constexpr char unknown_action[] = "Unknown action. Run vantrel-wifi --help.";

bool is_help(const QByteArray& word)
{
    return word == "help" || word == "--help" || word == "-h";
}

// Options that take the next word as their value, whatever it is.
struct ValueOption {
    const char* word;
    std::optional<QByteArray> vtl::wifi::EnterpriseWords::*value;
};
const ValueOption value_options[] = {
    {"--eap", &vtl::wifi::EnterpriseWords::eap},
    {"--identity", &vtl::wifi::EnterpriseWords::identity},
    {"--anonymous-identity", &vtl::wifi::EnterpriseWords::anonymous_identity},
    {"--domain", &vtl::wifi::EnterpriseWords::domain},
    {"--phase2", &vtl::wifi::EnterpriseWords::phase2},
    {"--ca-cert", &vtl::wifi::EnterpriseWords::ca_cert},
    {"--client-cert", &vtl::wifi::EnterpriseWords::client_cert},
    {"--private-key", &vtl::wifi::EnterpriseWords::private_key},
    {"--server-cert", &vtl::wifi::EnterpriseWords::server_cert},
};

} // namespace

bool any_value(const CommandLine& line)
{
    return std::any_of(std::begin(value_options), std::end(value_options),
                       [&line](const ValueOption& option) { return (line.values.*option.value).has_value(); });
}

namespace {

// Every flag word and what it sets; an action reads only those it honours.
struct Flag {
    const char* word;
    bool CommandLine::*set;
};
const Flag flags[] = {
    {"--json", &CommandLine::as_json}, {"--cached", &CommandLine::cached},
    {"--password-stdin", &CommandLine::password_stdin}, {"--open", &CommandLine::open},
    {"--yes", &CommandLine::yes}, {"--hidden", &CommandLine::hidden},
    {"--follow", &CommandLine::follow},
};

// One entry per action: the help text, the flags and the checks of the
// command line all come from here.
struct Action {
    const char* word;
    std::initializer_list<const char*> usage; // each line after "vantrel-wifi "
    std::initializer_list<const char*> flags; // those it honours
    bool (*accepts)(const CommandLine&);
    const char* refusal;
    void (*run)(const Client&, const CommandLine&);
};

bool no_operands(const CommandLine& line)
{
    return line.operands.isEmpty();
}

bool one_operand(const CommandLine& line)
{
    return line.operands.size() == 1;
}

const Action actions[] = {
    {"status", {"status [--json] [--follow]"}, {"--json", "--follow"}, [](const CommandLine&) { return true; }, "",
     show_status},
    {"list", {"list [--json] [--cached]"}, {"--json", "--cached"}, no_operands, "list takes no network name.", list},
    {"pick", {"pick"}, {}, no_operands, "pick takes no arguments.", pick},
    {"connect",
     {"connect [--hidden] [--open|--password-stdin] SSID",
      "connect --eap METHOD --identity NAME --domain NAME --password-stdin SSID",
      "connect --eap tls --identity NAME --domain NAME --private-key FILE SSID"},
     {"--hidden", "--open", "--password-stdin", "--json"},
     [](const CommandLine& line) { return one_operand(line) && !(line.open && line.password_stdin); },
     "connect requires one SSID and one security choice.", connect},
    {"server", {"server [--json] [--eap METHOD] [--identity NAME | --anonymous-identity NAME] [--hidden] SSID"},
     {"--json", "--hidden"}, one_operand, "server requires one SSID.", server},
    {"trust", {"trust [--server-cert SHA256 | --ca-cert FILE] [--hidden] SSID"}, {"--json", "--hidden"}, one_operand,
     "trust requires one SSID.", trust},
    {"password", {"password [--hidden] SSID"}, {"--hidden", "--json"}, one_operand, "password requires one SSID.",
     change_password},
    {"saved", {"saved [--json]"}, {"--json"}, no_operands, "saved takes no network name.", show_saved},
    {"priority", {"priority SSID N"}, {"--json"}, [](const CommandLine& line) { return line.operands.size() == 2; },
     "priority requires one SSID and a number.", set_priority},
    {"autojoin", {"autojoin on|off SSID"}, {"--json"},
     [](const CommandLine& line) {
         return line.operands.size() == 2 && (line.operands.first() == "on" || line.operands.first() == "off");
     },
     "autojoin requires on or off and one SSID.", set_autojoin},
    {"disconnect", {"disconnect"}, {"--json"}, no_operands, "disconnect takes no arguments.", disconnect},
    {"forget", {"forget --yes SSID"}, {"--yes", "--json"},
     [](const CommandLine& line) { return line.yes && one_operand(line); },
     "Forgetting writes the saved Wi-Fi file. Use: vantrel-wifi forget --yes SSID", forget},
};

QByteArray usage_text()
{
    QByteArray text;
    const char* lead = "Usage: ";
    for (const Action& action : actions) {
        for (const char* line : action.usage) {
            text += QByteArray(lead) + "vantrel-wifi " + line + '\n';
            lead = "       ";
        }
    }
    return text + "\nScanning and switching saved networks do not write storage. Adding or\n"
                  "forgetting a network deliberately updates the firmware Wi-Fi file once.\n";
}

const Action* action_named(const QByteArray& word)
{
    const auto found = std::find_if(std::begin(actions), std::end(actions),
                                    [&word](const Action& action) { return word == action.word; });
    return found == std::end(actions) ? nullptr : found;
}

// Value options take the next word first, whatever it is; then flags may
// come anywhere and an action sees those it honours. Nothing when no word is
// left for an action.
std::optional<CommandLine> command_line(const QByteArrayList& words)
{
    CommandLine line;
    QByteArrayList arguments;
    for (qsizetype at = 0; at < words.size(); ++at) {
        const ValueOption* option = std::find_if(std::begin(value_options), std::end(value_options),
                                                 [&](const ValueOption& known) { return words.at(at) == known.word; });
        if (option == std::end(value_options)) {
            arguments.append(words.at(at));
            continue;
        }
        if (at + 1 == words.size())
            throw std::runtime_error(std::string(option->word) + " needs a value.");
        if ((line.values.*option->value).has_value())
            throw std::runtime_error(std::string(option->word) + " was given twice.");
        line.values.*option->value = words.at(++at);
    }
    QByteArrayList given;
    for (const Flag& flag : flags) {
        if (arguments.removeAll(flag.word) > 0)
            given.append(flag.word);
    }
    if (arguments.isEmpty())
        return std::nullopt;
    line.action = arguments.takeFirst();
    line.operands = arguments;
    const Action* action = action_named(line.action);
    for (const char* word : action ? action->flags : std::initializer_list<const char*>()) {
        const Flag* flag = std::find_if(std::begin(flags), std::end(flags),
                                        [word](const Flag& known) { return std::strcmp(known.word, word) == 0; });
        line.*flag->set = given.contains(word);
    }
    return line;
}

void dispatch(const Client& client, const CommandLine& line)
{
    const Action* action = action_named(line.action);
    if (!action)
        throw std::runtime_error(unknown_action);
    if (!action->accepts(line))
        throw std::runtime_error(action->refusal);
    action->run(client, line);
}

} // namespace

int main(int argc, char** argv)
{
    open_closed_streams();
    watch_signals();
    // Taken before the application object, which removes words it claims for itself.
    QByteArrayList arguments;
    for (int index = 1; index < argc; ++index)
        arguments.append(QByteArray(argv[index]));
    QCoreApplication app(argc, argv);
    const ProgressLine progress;
    try {
        const std::optional<CommandLine> line = command_line(arguments);
        if (!line || is_help(line->action)) {
            write_out(usage_text());
            return 0;
        }
        if (line->action == "--version") {
            write_out("vantrel-wifi " VANTREL_VERSION "\n");
            return 0;
        }
        const Client client{QString()};
        dispatch(client, *line);
        return 0;
    } catch (const Interrupted& interruption) {
        return 128 + interruption.signal();
    } catch (const Told&) {
        return 1;
    } catch (const std::exception& error) {
        report(error.what());
        return 1;
    }
}
