#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace epson {

/// How serious a console line of the command link is. By default Info lines ("Connected to
/// ...", "Disconnected from ...") go to standard output and the others to standard error.
enum class ConsoleLevel {
    Info,     ///< Connected, disconnected.
    Warning,  ///< A failed connection attempt that is retried.
    Error,    ///< A failure: resolution, a refused login or logout check, a clean-up step.
};

/// Takes a console line instead of the standard streams. It runs on the thread that wrote the
/// line, possibly while that link holds its locks, so it must neither block on a link nor
/// throw. @p line has no line break.
using ConsoleSink = void (*)(ConsoleLevel level, std::string_view line) noexcept;

/// Where console lines go: to @c sink when one is set, otherwise to the standard streams.
struct ConsoleRoute {
    std::atomic<ConsoleSink> sink{nullptr};
};

/// Makes the command link write its console lines through @p route, which must outlive every
/// link; nullptr goes back to the built-in route. A program that holds the command link more
/// than once (each Python module has its own copy) points every copy at one shared route, so
/// that one sink redirects all of them.
void useConsoleRoute(ConsoleRoute* route) noexcept;

/// The route the command link writes through now.
ConsoleRoute& consoleRoute() noexcept;

/// Writes one console line through the route: to standard output for Info, standard error
/// otherwise, flushed as a single write, unless a sink takes it.
void writeConsoleLine(ConsoleLevel level, const std::string& line);

}  // namespace epson
