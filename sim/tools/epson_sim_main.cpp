// epson-sim: runs the controller simulator until a signal that would end the process (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2) stops it in order, with its "stopped" line.

#include <signal.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "epson_sim/Script.hpp"
#include "epson_sim/Simulator.hpp"

namespace {

const std::string kUsage =
    std::string(
        "usage: epson-sim [--command-port N] [--telemetry-port N] [--password P]\n"
        "                 [--time-scale S] [--rate HZ] [--host ADDRESS] [--rules FILE]\n"
        "                 [--control-port N] [--control-host ADDRESS]\n"
        "                 [--control-idle-timeout S] [--login-timeout S] [--idle-timeout S]\n"
        "                 [--write-timeout S] [--strict-execute on|off]\n"
        "  --command-port    Remote Ethernet command port (default 5000; 0: any free port)\n"
        "  --telemetry-port  telemetry port (default 2000; 0: any free port)\n"
        "  --password        login password (default: any password is accepted)\n"
        "  --time-scale      wall seconds per simulated second, 0.0001..10000 (default 1; 0.1\n"
        "                    runs 10x faster)\n"
        "  --rate            telemetry samples per second, 0.1..10000 (default 100)\n"
        "  --host            address or name for the command and telemetry ports (default\n"
        "                    127.0.0.1; IPv6 and localhost work)\n"
        "  --rules           fault script applied once the simulator serves (format below)\n"
        "  --control-port    also accept fault directives while running, one a line, on this\n"
        "                    port (0: any free port; printed as \"epson-sim: control on\n"
        "                    HOST:PORT\"); each line is answered \"ok\", \"ok: <what it did>\" or\n"
        "                    \"error: <why>\"; up to 8 clients at once\n"
        "  --control-host    address for the control port (default 127.0.0.1, whatever --host\n"
        "                    says: whoever reaches it can inject any fault)\n"
        "  --control-idle-timeout  seconds a control client may stay silent (default 60;\n"
        "                    0: no limit)\n"
        "  --login-timeout   seconds a command client may stay without logging in (default 10;\n"
        "                    0: no limit)\n"
        "  --idle-timeout    seconds a command client may stay silent while it waits for no\n"
        "                    reply (default 0: no limit; waiting for its motion is not idle)\n"
        "  --write-timeout   seconds a client of any port may leave a reply unread before it\n"
        "                    is dropped (default 10; 0: no limit)\n"
        "  --strict-execute  on: only $Abort and $GetStatus while an $Execute runs\n"
        "Fault script: one directive a line, \"#\" starts a comment; words are separated by\n"
        "blanks, a word in double quotes may hold blanks and \\\" \\\\ \\r \\n \\t. "
        "Directives:\n") +
    epson::sim::kScriptDirectives;

[[noreturn]] void usageError(const std::string& message) {
    std::cerr << "epson-sim: " << message << "\n" << kUsage;
    std::exit(2);
}

std::uint16_t parsePort(std::string_view text) {
    unsigned value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || value > 65535) {
        usageError("invalid port \"" + std::string(text) + "\"");
    }
    return static_cast<std::uint16_t>(value);
}

double parseSeconds(std::string_view text, const char* what) {
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || !(value >= 0.0) ||
        value > 86400.0 * 365) {
        usageError(std::string("invalid ") + what + " \"" + std::string(text) + "\"");
    }
    return value;
}

// The signals whose default action ends the process: each stops the simulator in order instead.
constexpr std::pair<int, const char*> kStopSignals[] = {
    {SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"},
    {SIGQUIT, "SIGQUIT"}, {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},
};

const char* signalName(int number) {
    for (const auto& [candidate, name] : kStopSignals) {
        if (candidate == number) {
            return name;
        }
    }
    return "signal";
}

// The whole rules file; empty with the reason when it cannot be read (a directory opens as a
// stream that reads nothing, which must not pass for an empty file).
std::optional<std::string> readRules(const std::string& path, std::string& why) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        why = "it is a directory";
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        why = "it cannot be opened";
        return std::nullopt;
    }
    std::stringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        why = "reading it failed";
        return std::nullopt;
    }
    return text.str();
}

double parsePositive(std::string_view text, const char* what) {
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || !(value > 0.0)) {
        usageError(std::string("invalid ") + what + " \"" + std::string(text) + "\"");
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    epson::sim::SimulatorOptions options;
    std::optional<std::string> rulesFile;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (i + 1 >= argc) {
            usageError("missing value for " + std::string(arg));
        }
        const std::string_view value = argv[++i];
        if (arg == "--command-port") {
            options.commandPort = parsePort(value);
        } else if (arg == "--telemetry-port") {
            options.telemetryPort = parsePort(value);
        } else if (arg == "--password") {
            options.password = std::string(value);
        } else if (arg == "--time-scale") {
            options.timeScale = parsePositive(value, "time scale");
        } else if (arg == "--rate") {
            options.telemetryRateHz = parsePositive(value, "rate");
        } else if (arg == "--host") {
            options.host = std::string(value);
        } else if (arg == "--rules") {
            rulesFile = std::string(value);
        } else if (arg == "--control-port") {
            options.controlPort = parsePort(value);
        } else if (arg == "--control-host") {
            options.controlHost = std::string(value);
        } else if (arg == "--control-idle-timeout") {
            options.controlIdleTimeout = epson::sim::toMilliseconds(
                parseSeconds(value, "control idle time-out"), "control idle time-out");
        } else if (arg == "--login-timeout") {
            options.loginTimeout =
                epson::sim::toMilliseconds(parseSeconds(value, "login time-out"), "login time-out");
        } else if (arg == "--idle-timeout") {
            options.idleTimeout =
                epson::sim::toMilliseconds(parseSeconds(value, "idle time-out"), "idle time-out");
        } else if (arg == "--write-timeout") {
            options.writeTimeout =
                epson::sim::toMilliseconds(parseSeconds(value, "write time-out"), "write time-out");
        } else if (arg == "--strict-execute") {
            if (value != "on" && value != "off") {
                usageError("invalid strict-execute \"" + std::string(value) + "\"");
            }
            options.strictExecute = value == "on";
        } else {
            usageError("unknown option " + std::string(arg));
        }
    }

    // Block the stop signals before any thread starts, so only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const auto& [number, name] : kStopSignals) {
        sigaddset(&stopSignals, number);
    }
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A reader of the output that went away must not end the process half-way through a stop.
    signal(SIGPIPE, SIG_IGN);

    std::string rules;
    if (rulesFile) {
        std::string why;
        const auto text = readRules(*rulesFile, why);
        if (!text) {
            std::cerr << "epson-sim: cannot read the rules file " << *rulesFile << ": " << why
                      << std::endl;
            return 1;
        }
        rules = *text;
    }

    std::optional<epson::sim::Simulator> made;
    try {
        made.emplace(options);
    } catch (const std::invalid_argument& e) {
        usageError(e.what());
    }
    try {
        epson::sim::Simulator& simulator = *made;
        simulator.start();
        if (rulesFile) {
            try {
                epson::sim::runScript(simulator, rules);
            } catch (const std::exception& e) {
                throw std::runtime_error(*rulesFile + ": " + e.what());
            }
        }
        // The addresses bound, not the names given: "0" or a host name says little.
        std::cout << "epson-sim: Remote Ethernet commands on " << simulator.commandAddress() << ":"
                  << simulator.commandPort() << ", telemetry on " << simulator.telemetryAddress()
                  << ":" << simulator.telemetryPort() << " (" << options.telemetryRateHz
                  << " Hz), time scale " << options.timeScale << ", "
                  << (options.password ? "password required" : "any password") << std::endl;
        if (options.controlPort) {
            std::cout << "epson-sim: control on " << simulator.controlAddress() << ":"
                      << simulator.controlPort() << std::endl;
        }
        int received = 0;
        sigwait(&stopSignals, &received);
        simulator.stop();
        std::cout << "epson-sim: stopped (" << signalName(received) << ")" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "epson-sim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
