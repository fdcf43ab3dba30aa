// epson-sim: runs the controller simulator until SIGINT or SIGTERM.

#include <signal.h>

#include <charconv>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "epson_sim/Simulator.hpp"

namespace {

constexpr const char* kUsage =
    "usage: epson-sim [--command-port N] [--telemetry-port N] [--password P]\n"
    "                 [--time-scale S] [--rate HZ] [--host ADDRESS]\n"
    "  --command-port    Remote Ethernet command port (default 5000; 0: any free port)\n"
    "  --telemetry-port  telemetry port (default 2000; 0: any free port)\n"
    "  --password        login password (default: any password is accepted)\n"
    "  --time-scale      wall seconds per simulated second (default 1; 0.1 runs 10x faster)\n"
    "  --rate            telemetry samples per second (default 100)\n"
    "  --host            address to listen on (default 127.0.0.1)\n";

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
        } else {
            usageError("unknown option " + std::string(arg));
        }
    }

    // Block the stop signals before any thread starts, so only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        epson::sim::Simulator simulator(options);
        simulator.start();
        std::cout << "epson-sim: Remote Ethernet commands on " << options.host << ":"
                  << simulator.commandPort() << ", telemetry on " << options.host << ":"
                  << simulator.telemetryPort() << " (" << options.telemetryRateHz
                  << " Hz), time scale " << options.timeScale << ", "
                  << (options.password ? "password required" : "any password") << std::endl;
        int received = 0;
        sigwait(&stopSignals, &received);
        simulator.stop();
        std::cout << "epson-sim: stopped (" << (received == SIGINT ? "SIGINT" : "SIGTERM") << ")"
                  << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "epson-sim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
