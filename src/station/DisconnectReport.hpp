#pragma once

#include <optional>
#include <string>

namespace epson {

/// The message of a station disconnect whose halves failed as given (nullopt: that half
/// succeeded), or nullopt when both succeeded. A failure counts because it was caught, whatever
/// its text; an empty text is shown as "unknown error".
std::optional<std::string> disconnectFailureMessage(const std::optional<std::string>& receiveError,
                                                    const std::optional<std::string>& controlError);

}  // namespace epson
