// Telemetry line format: "key=value" fields separated by ";", one packet per line.

#include <array>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <locale.h>

#include "ReceiverImpl.hpp"

namespace epson {
namespace {

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The key with every white-space character removed, wherever it stands: the line feed that
// follows a carriage return ends up in front of the next packet's first key.
std::string normalisedKey(std::string_view raw) {
    std::string key;
    key.reserve(raw.size());
    for (const char c : raw) {
        if (!isWhiteSpace(c)) {
            key.push_back(c);
        }
    }
    return key;
}

// Truncates toward zero. A value outside the int64 range has no defined conversion: it fails
// the packet as a number outside the double range does.
std::int64_t statusValue(double value) {
    // Both bounds are powers of two and exact in a double.
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) {
        throw std::out_of_range("stod");
    }
    return static_cast<std::int64_t>(value);
}

constexpr std::size_t kMaxPlainDecimal = 32;

// Whether the whole text is an optional minus, digits and at most one point, with a digit.
bool isPlainDecimal(std::string_view text) {
    bool digit = false;
    bool point = false;
    for (std::size_t i = text.starts_with('-') ? 1 : 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digit;
}

// std::stod's contract (leading blanks skipped, the longest numeric prefix taken, "stod" on
// failure) without its dependence on the process's LC_NUMERIC: a host program that selects a
// decimal-comma locale must not break the stream.
double parseValue(const std::string& text) {
    // Fast path for what controllers write, a short plain decimal: it can neither overflow nor
    // underflow, and from_chars rounds it exactly as strtod does, at a fraction of the cost.
    if (text.size() <= kMaxPlainDecimal && isPlainDecimal(text)) {
        double value = 0.0;
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, value);
        if (error == std::errc() && stop == end) {
            return value;
        }
    }
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = strtod_l(begin, &end, cLocale);
    if (end == begin) {
        throw std::invalid_argument("stod");
    }
    // One rule for every value that is not a finite number: "1e999" overflows, and "inf" and
    // "nan" would put a pose no robot can have into the sample; each fails the packet alike.
    if (errno == ERANGE || !std::isfinite(value)) {
        throw std::out_of_range("stod");
    }
    return value;
}

std::int64_t bit(std::int64_t word, int index) {
    return (word >> index) & 1;
}

}  // namespace

void EthernetReceiveInterface::Impl::parsePacket_(const std::string& packet) {
    static constexpr std::array<const char*, 6> kTcpKeys{"X", "Y", "Z", "U", "V", "W"};
    static constexpr std::array<std::pair<const char*, const char*>, 5> kStatusKeys{{
        {"STAT", "stat"},
        {"SYSERR", "system_error"},
        {"CTRLDEV", "control_device"},
        {"ROBOTINFO", "robot_info"},
        {"CTRLINFO", "ctrl_info"},
    }};

    static const std::array<std::string, 6> kJointKeys = [] {
        std::array<std::string, 6> keys;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            keys[i] = "J" + std::to_string(i + 1) + "agl";
        }
        return keys;
    }();

    // Every value is converted before anything is used, so a bad number fails the whole
    // packet and leaves partialFields_ as it was. The list is reused from packet to packet
    // and keys are short, so collecting a packet's fields allocates nothing.
    std::vector<std::pair<std::string, double>>& fields = packetFields_;
    fields.clear();
    const std::string_view text(packet);
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(';', start);
        const std::string_view field = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        const std::size_t equals = field.find('=');
        if (equals != std::string_view::npos) {
            std::string key = normalisedKey(field.substr(0, equals));
            if (!key.empty()) {
                const double value = parseValue(std::string(field.substr(equals + 1)));
                fields.emplace_back(std::move(key), value);
            }
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }

    // A key given twice counts with its last value.
    const auto find = [&fields](std::string_view key) -> const double* {
        for (auto field = fields.rbegin(); field != fields.rend(); ++field) {
            if (field->first == key) {
                return &field->second;
            }
        }
        return nullptr;
    };

    if (find("STAT") != nullptr) {
        ControllerStatus status;
        for (const auto& [packetKey, statusKey] : kStatusKeys) {
            const double* value = find(packetKey);
            if (value == nullptr) {
                return;
            }
            status.emplace(statusKey, statusValue(*value));
        }
        const std::int64_t ctrlInfo = status.at("ctrl_info");
        const std::int64_t stat = status.at("stat");
        status.emplace("emergency_stopped", bit(ctrlInfo, 8));
        status.emplace("safeguard_open", bit(ctrlInfo, 9));
        status.emplace("teach_mode", bit(stat, 19));

        const auto now = Clock::now();
        bool listening = false;
        {
            std::lock_guard lock(statusMutex_);
            // Read under the store's lock: a listener that registered before this result
            // became readable gets it, and one that read it as the latest does not get it again.
            // startRecording() reads the latest status under this lock after registering.
            listening = listening_.load();
            if (listening) {
                status_ = status;
            } else {
                status_ = std::move(status);
            }
            statusTime_ = now;
            hasStatus_ = true;
        }
        if (listening) {
            deliver_(TelemetryEvent::Kind::Status, TelemetrySample{}, status, now);
        }
        // A status packet never feeds the sample, whatever else it carries.
        return;
    }

    TelemetrySample sample;
    if (find("X") != nullptr) {
        partialFields_.clear();  // X starts a new sample
        // A packet that holds the whole sample, as controllers send it, publishes it without
        // the collected fields: they were just emptied and would be emptied again.
        bool whole = true;
        for (std::size_t i = 0; i < 6 && whole; ++i) {
            const double* joint = find(kJointKeys[i]);
            const double* pose = find(kTcpKeys[i]);
            whole = joint != nullptr && pose != nullptr;
            if (whole) {
                sample.joints[i] = *joint;
                sample.tcpPose[i] = *pose;
            }
        }
        if (whole) {
            publishSample_(sample);
            return;
        }
    }
    for (auto& [key, value] : fields) {
        partialFields_.insert_or_assign(key, value);
    }

    for (std::size_t i = 0; i < 6; ++i) {
        const auto joint = partialFields_.find(kJointKeys[i]);
        const auto pose = partialFields_.find(kTcpKeys[i]);
        if (joint == partialFields_.end() || pose == partialFields_.end()) {
            // The rest may come in later packets; the bound limits only what waits for them,
            // never a packet that completes a sample.
            if (partialFields_.size() > kMaxPartialFields) {
                partialFields_.clear();
            }
            return;
        }
        sample.joints[i] = joint->second;
        sample.tcpPose[i] = pose->second;
    }
    partialFields_.clear();  // each complete set is published once
    publishSample_(sample);
}

void EthernetReceiveInterface::Impl::publishSample_(const TelemetrySample& sample) {
    const auto now = Clock::now();
    bool listening = false;
    {
        std::lock_guard lock(sampleMutex_);
        sample_ = sample;
        sampleTime_ = now;
        hasSample_ = true;
        listening = listening_.load();  // under the lock, as for a status
    }
    sampleCondition_.notify_all();
    if (listening) {
        static const ControllerStatus kNoStatus;
        deliver_(TelemetryEvent::Kind::Sample, sample, kNoStatus, now);
    }
}

}  // namespace epson
