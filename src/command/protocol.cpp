// Reply grammar of the Remote Ethernet command protocol.

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "CellCommandLinkImpl.hpp"
#include "epson/console.hpp"
#include "epson/errors.hpp"
#include "spel_text.hpp"

namespace epson {

namespace {

/// The error-code field: between the first comma and the next one (or the end).
std::optional<std::string> errorCodeField(const std::string& reply) {
    const auto first = reply.find(',');
    if (first == std::string::npos) {
        return std::nullopt;
    }
    const auto second = reply.find(',', first + 1);
    return reply.substr(first + 1,
                        second == std::string::npos ? std::string::npos : second - first - 1);
}

/// The error-code field as a number, when it is a plain decimal one.
int errorCodeNumber(const std::string& reply) {
    const auto field = errorCodeField(reply);
    if (!field || field->empty() || field->size() > 9 ||
        field->find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    return std::stoi(*field);
}

}  // namespace

std::string remoteErrorMeaning(int code) {
    switch (code) {
        case 10:
            return "Remote command does not begin with $";
        case 11:
            return "Remote command is wrong, or was sent before a login";
        case 12:
            return "Remote command format is wrong";
        case 13:
            return "Login command password is wrong";
        case 14:
            return "Number of specified parameters is excessive or not enough";
        case 15:
            return "Parameter value is out of range";
        case 19:
            return "Request time out";
        case 20:
            return "Controller is not ready";
        case 21:
            return "Cannot execute since Execute is running";
        case 99:
            return "System error or communication error";
        default:
            return {};
    }
}

ControllerError::ControllerError(const std::string& message, std::string reply,
                                 const std::string& command)
    : std::runtime_error(message),
      reply_(std::move(reply)),
      command_(displayedCommand(command)),
      code_(errorCodeNumber(reply_)) {}

std::string ControllerError::meaning() const {
    return remoteErrorMeaning(code_);
}

void rethrowWithContext(const std::exception& error, const std::string& message) {
    if (const auto* refusal = dynamic_cast<const ControllerError*>(&error)) {
        throw ControllerError(message, refusal->reply(), refusal->command());
    }
    if (dynamic_cast<const ConnectionLostError*>(&error) != nullptr) {
        throw ConnectionLostError(message);
    }
    if (dynamic_cast<const NotConnectedError*>(&error) != nullptr) {
        throw NotConnectedError(message);
    }
    if (dynamic_cast<const OutcomeUnknownError*>(&error) != nullptr) {
        throw OutcomeUnknownError(message);
    }
    throw std::runtime_error(message);
}

std::string expectedEcho(const std::string& command) {
    // substr(1) on an empty command throws std::out_of_range, which callers rely on.
    const auto name = command.substr(1);
    return "#" + name.substr(0, name.find(','));
}

std::string displayedCommand(const std::string& command) {
    static constexpr std::string_view kLogin = "$Login,";
    if (spel::startsWith(command, kLogin)) {
        return "$Login,<redacted>";
    }
    return command;
}

void requireTransmittable(const std::string& text, const char* name, std::size_t limit) {
    if (text.find('\0') != std::string::npos) {
        throw std::invalid_argument(std::string(name) + " must not contain NUL characters");
    }
    if (text.size() > limit) {
        throw std::invalid_argument(std::string(name) + " must not be longer than " +
                                    std::to_string(limit) + " bytes");
    }
}

namespace {

ConsoleRoute builtInRoute;
std::atomic<ConsoleRoute*> currentRoute{&builtInRoute};

}  // namespace

void useConsoleRoute(ConsoleRoute* route) noexcept {
    currentRoute = route != nullptr ? route : &builtInRoute;
}

ConsoleRoute& consoleRoute() noexcept {
    return *currentRoute.load();
}

void writeConsoleLine(ConsoleLevel level, const std::string& line) {
    if (const ConsoleSink sink = consoleRoute().sink.load()) {
        sink(level, line);
        return;
    }
    std::ostream& stream = level == ConsoleLevel::Info ? std::cout : std::cerr;
    // One write per line keeps concurrent links from interleaving inside a line.
    stream << (line + '\n') << std::flush;
}

void CellCommandLink::Impl::parseResponse_(const std::string& response,
                                           const std::string& command) {
    if (response.empty()) {
        throw std::runtime_error("Empty response from Epson controller");
    }
    if (spel::startsWith(response, "#Login")) {
        loggedIn_ = true;
        return;
    }
    if (spel::startsWith(response, "#Logout")) {
        loggedIn_ = false;
        return;
    }
    if (response.front() == '#') {
        return;
    }
    if (response.front() == '!') {
        std::string message = "Remote command failed: " + response;
        if (errorCodeField(response) == "99") {
            message +=
                " (Epson Remote Ethernet error 99: system error or communication error; no "
                "motion error code was returned)";
        }
        message += " (command: " + displayedCommand(command) + ")";
        throw ControllerError(message, response, command);
    }
    throw std::runtime_error("Invalid remote command response: " + response);
}

std::string CellCommandLink::Impl::executeAndGetResult_(const std::string& statement) {
    const std::string reply = commandReply_("$Execute,\"" + statement + "\"", kCommandTimeout);
    const auto first = reply.find('"');
    const auto last = reply.rfind('"');
    if (first == std::string::npos || first >= last) {
        throw std::runtime_error("Unexpected Execute response: " + reply);
    }
    return reply.substr(first + 1, last - first - 1);
}

std::int64_t CellCommandLink::Impl::parseControllerStatusValue_(const std::string& text) {
    const std::string normalised = spel::lowerWithoutSpace(text);
    if (normalised == "true") {
        return 1;
    }
    if (normalised == "false") {
        return 0;
    }
    const char* begin = normalised.c_str();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, 0);
    if (end == begin || errno == ERANGE || end != begin + normalised.size()) {
        throw std::runtime_error("Failed to parse controller status value as an integer: \"" +
                                 text + "\"");
    }
    return value;
}

}  // namespace epson
