// epson-sim: runs the controller simulator until SIGINT or SIGTERM.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "epson_sim/Script.hpp"
#include "epson_sim/Simulator.hpp"

namespace {

const std::string kUsage =
    std::string(
        "usage: epson-sim [--command-port N] [--telemetry-port N] [--password P]\n"
        "                 [--time-scale S] [--rate HZ] [--host ADDRESS] [--rules FILE]\n"
        "                 [--control-port N] [--login-timeout S] [--idle-timeout S]\n"
        "                 [--strict-execute on|off]\n"
        "  --command-port    Remote Ethernet command port (default 5000; 0: any free port)\n"
        "  --telemetry-port  telemetry port (default 2000; 0: any free port)\n"
        "  --password        login password (default: any password is accepted)\n"
        "  --time-scale      wall seconds per simulated second (default 1; 0.1 runs 10x faster)\n"
        "  --rate            telemetry samples per second (default 100)\n"
        "  --host            address to listen on (default 127.0.0.1)\n"
        "  --rules           fault script applied once the simulator serves (format below)\n"
        "  --control-port    also accept fault directives while running, one a line, on this\n"
        "                    port of the same host (0: any free port; printed as\n"
        "                    \"epson-sim: control on HOST:PORT\"); each line is answered \"ok\" "
        "or\n"
        "                    \"error: <why>\"\n"
        "  --login-timeout   seconds a command client may stay without logging in (default 10;\n"
        "                    0: no limit)\n"
        "  --idle-timeout    seconds a command client may stay silent (default 0: no limit)\n"
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
        value > 1e6) {
        usageError(std::string("invalid ") + what + " \"" + std::string(text) + "\"");
    }
    return value;
}

std::chrono::milliseconds toMilliseconds(double seconds) {
    return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}

// The control channel: one client at a time, one directive a line, answered "ok" or
// "error: <why>". Loopback (or the simulator's host) only, like the simulator itself.
class ControlChannel {
  public:
    ControlChannel(epson::sim::Simulator& simulator, const std::string& host, std::uint16_t port)
        : simulator_(simulator) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (listener_ < 0 || ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
            ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 4) != 0) {
            const std::string why = std::strerror(errno);
            if (listener_ >= 0) {
                ::close(listener_);
            }
            throw std::runtime_error("cannot listen for control on " + host + ":" +
                                     std::to_string(port) + ": " + why);
        }
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        if (::pipe(wake_) != 0) {
            ::close(listener_);
            throw std::runtime_error("cannot create the control channel's wake-up pipe");
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~ControlChannel() {
        stopping_ = true;
        const char byte = 0;
        [[maybe_unused]] const auto ignored = ::write(wake_[1], &byte, 1);
        thread_.join();
        ::close(listener_);
        ::close(wake_[0]);
        ::close(wake_[1]);
    }
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    std::uint16_t port() const { return port_; }

  private:
    // Waits for fd or the wake-up pipe; false when stopping.
    bool waitFor(int fd) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        while (!stopping_) {
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                return false;
            }
            if (fds[1].revents != 0) {
                return false;
            }
            if (fds[0].revents != 0) {
                return true;
            }
        }
        return false;
    }

    void serve() {
        while (waitFor(listener_)) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client >= 0) {
                converse(client);
                ::close(client);
            }
        }
    }

    void converse(int client) {
        std::string buffer;
        char data[4096];
        while (waitFor(client)) {
            const ssize_t n = ::recv(client, data, sizeof data, 0);
            if (n <= 0) {
                return;
            }
            buffer.append(data, static_cast<std::size_t>(n));
            if (buffer.size() > 1 << 20) {
                return;  // no line feed in a megabyte: not a control client
            }
            std::size_t end = 0;
            while ((end = buffer.find('\n')) != std::string::npos) {
                const std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                std::string answer = "ok\n";
                try {
                    epson::sim::runScriptLine(simulator_, line);
                } catch (const std::exception& e) {
                    answer = std::string("error: ") + e.what() + "\n";
                }
                if (::send(client, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) {
                    return;
                }
            }
        }
    }

    epson::sim::Simulator& simulator_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

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
    std::optional<std::uint16_t> controlPort;
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
            controlPort = parsePort(value);
        } else if (arg == "--login-timeout") {
            options.loginTimeout = toMilliseconds(parseSeconds(value, "login time-out"));
        } else if (arg == "--idle-timeout") {
            options.idleTimeout = toMilliseconds(parseSeconds(value, "idle time-out"));
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
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::string rules;
    if (rulesFile) {
        std::ifstream file(*rulesFile);
        if (!file) {
            std::cerr << "epson-sim: cannot read the rules file " << *rulesFile << std::endl;
            return 1;
        }
        std::stringstream text;
        text << file.rdbuf();
        rules = text.str();
    }

    try {
        epson::sim::Simulator simulator(options);
        simulator.start();
        if (rulesFile) {
            try {
                epson::sim::runScript(simulator, rules);
            } catch (const std::exception& e) {
                throw std::runtime_error(*rulesFile + ": " + e.what());
            }
        }
        std::optional<ControlChannel> control;
        if (controlPort) {
            control.emplace(simulator, options.host, *controlPort);
        }
        std::cout << "epson-sim: Remote Ethernet commands on " << options.host << ":"
                  << simulator.commandPort() << ", telemetry on " << options.host << ":"
                  << simulator.telemetryPort() << " (" << options.telemetryRateHz
                  << " Hz), time scale " << options.timeScale << ", "
                  << (options.password ? "password required" : "any password") << std::endl;
        if (control) {
            std::cout << "epson-sim: control on " << options.host << ":" << control->port()
                      << std::endl;
        }
        int received = 0;
        sigwait(&stopSignals, &received);
        control.reset();
        simulator.stop();
        std::cout << "epson-sim: stopped (" << (received == SIGINT ? "SIGINT" : "SIGTERM") << ")"
                  << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "epson-sim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
