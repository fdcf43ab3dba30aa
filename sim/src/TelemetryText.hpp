#pragma once

// The text of the telemetry lines, without any I/O:
//   "X=..;Y=..;Z=..;U=..;V=..;W=..;J1agl=..;...;J6agl=..\r"             (a sample)
//   "STAT=..;SYSERR=..;CTRLDEV=..;ROBOTINFO=..;CTRLINFO=..\r"            (a status)
// numbers as Print writes them; every value "??" when garbled.

#include <string>

#include "Controller.hpp"

namespace epson::sim::detail {

// The sample line (when withSample) followed by the status line (when withStatus) at `now`.
// Caller holds the controller's lock.
std::string telemetryLines(const Controller& controller, Clock::time_point now, bool withSample,
                           bool withStatus, bool garbled);

}  // namespace epson::sim::detail
