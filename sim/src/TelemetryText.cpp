#include "TelemetryText.hpp"

#include <array>
#include <cstdint>

#include "sim_text.hpp"

namespace epson::sim::detail {

std::string telemetryLines(const Controller& c, Clock::time_point now, bool withSample,
                           bool withStatus, bool garbled) {
    const auto real = [garbled](double v) { return garbled ? std::string("??") : formatReal(v); };
    std::string bytes;
    if (withSample) {
        const Joints joints = c.joints(now);
        const Pose pose = c.tcp(joints);
        static const char* const kPoseKeys[] = {"X", "Y", "Z", "U", "V", "W"};
        for (std::size_t i = 0; i < pose.size(); ++i) {
            bytes += std::string(kPoseKeys[i]) + "=" + real(pose[i]) + ";";
        }
        for (std::size_t i = 0; i < joints.size(); ++i) {
            bytes += "J" + std::to_string(i + 1) + "agl=" + real(joints[i]) +
                     (i + 1 < joints.size() ? ";" : "\r");
        }
    }
    if (withStatus) {
        const std::array<std::int64_t, 5> status{c.stat(), c.systemError, kControlDevice,
                                                 c.robotInfo(), c.ctrlInfo()};
        static const char* const kStatusKeys[] = {"STAT", "SYSERR", "CTRLDEV", "ROBOTINFO",
                                                  "CTRLINFO"};
        for (std::size_t i = 0; i < status.size(); ++i) {
            bytes += std::string(kStatusKeys[i]) + "=" +
                     (garbled ? std::string("??") : formatInteger(status[i])) +
                     (i + 1 < status.size() ? ";" : "\r");
        }
    }
    return bytes;
}

}  // namespace epson::sim::detail
