// The telemetry stream, framed and parsed the way the receive loop does it: the harness sends
// the bytes over a socket pair, reads packets with the receiver's own readPacket_ (its buffer and
// size bound), hands each to parsePacket_, and on any std::exception empties partialFields_. After
// every packet the receiver's state is compared with a model written from the packet rules
// (std::stod for values, its own key and bit handling), and the published status and sample are
// checked on their own: eight keys, flags equal to the bits of stat and ctrl_info, a complete
// sample published once.
//
// Input: one mode byte, then the stream. An odd mode byte puts (kMaxPacketBytes - next byte)
// blanks in front of the stream, which brings the first packet to the packet size bound.

#include <bit>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>

#include "FuzzSupport.hpp"
#include "ReceiverImpl.hpp"

namespace {

using epson::ControllerStatus;
using epson::kMaxPacketBytes;
using epson::TelemetrySample;
using epson::fuzz::SocketPeer;
using Impl = epson::EthernetReceiveInterface::Impl;

bool sameBits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool sameFields(const std::map<std::string, double>& a, const std::map<std::string, double>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i->first != j->first || !sameBits(i->second, j->second)) {
            return false;
        }
    }
    return true;
}

bool sameSample(const TelemetrySample& a, const TelemetrySample& b) {
    for (std::size_t i = 0; i < 6; ++i) {
        if (!sameBits(a.joints[i], b.joints[i]) || !sameBits(a.tcpPose[i], b.tcpPose[i])) {
            return false;
        }
    }
    return true;
}

std::int64_t bitOf(std::int64_t word, unsigned index) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(word) >> index) & 1U);
}

// --- Model -----------------------------------------------------------------------------------

enum class Failure { kNone, kInvalidArgument, kOutOfRange };

struct Model {
    std::map<std::string, double> partial;
    std::optional<TelemetrySample> sample;
    std::optional<ControllerStatus> status;
    bool publishedSample = false;  // by the latest packet
    bool publishedStatus = false;

    Failure apply(const std::string& packet) {
        publishedSample = false;
        publishedStatus = false;
        std::map<std::string, double> fields;
        std::size_t start = 0;
        for (;;) {
            const std::size_t semicolon = packet.find(';', start);
            const std::string field = packet.substr(start, semicolon - start);
            if (const auto equals = field.find('='); equals != std::string::npos) {
                std::string key;
                for (const char c : field.substr(0, equals)) {
                    if (!std::isspace(static_cast<unsigned char>(c))) {
                        key.push_back(c);
                    }
                }
                if (!key.empty()) {
                    try {
                        const double value = std::stod(field.substr(equals + 1));
                        // Not a finite number fails the packet, as an overflow does.
                        if (!std::isfinite(value)) {
                            throw std::out_of_range("stod");
                        }
                        fields[key] = value;
                    } catch (const std::invalid_argument&) {
                        partial.clear();
                        return Failure::kInvalidArgument;
                    } catch (const std::out_of_range&) {
                        partial.clear();
                        return Failure::kOutOfRange;
                    }
                }
            }
            if (semicolon == std::string::npos) {
                break;
            }
            start = semicolon + 1;
        }

        if (fields.contains("STAT")) {
            ControllerStatus next;
            for (const auto& [packetKey, statusKey] :
                 {std::pair{"STAT", "stat"}, std::pair{"SYSERR", "system_error"},
                  std::pair{"CTRLDEV", "control_device"}, std::pair{"ROBOTINFO", "robot_info"},
                  std::pair{"CTRLINFO", "ctrl_info"}}) {
                const auto found = fields.find(packetKey);
                if (found == fields.end()) {
                    return Failure::kNone;
                }
                // A value outside int64 has no conversion: it fails the packet.
                if (!(found->second >= -0x1p63 && found->second < 0x1p63)) {
                    partial.clear();
                    return Failure::kOutOfRange;
                }
                next[statusKey] = static_cast<std::int64_t>(found->second);
            }
            next["emergency_stopped"] = bitOf(next["ctrl_info"], 8);
            next["safeguard_open"] = bitOf(next["ctrl_info"], 9);
            next["teach_mode"] = bitOf(next["stat"], 19);
            status = next;
            publishedStatus = true;
            return Failure::kNone;
        }

        if (fields.contains("X")) {
            partial.clear();
        }
        for (const auto& [key, value] : fields) {
            partial[key] = value;
        }
        TelemetrySample next;
        static constexpr const char* kPose[] = {"X", "Y", "Z", "U", "V", "W"};
        static constexpr const char* kJoints[] = {"J1agl", "J2agl", "J3agl",
                                                  "J4agl", "J5agl", "J6agl"};
        for (std::size_t i = 0; i < 6; ++i) {
            if (!partial.contains(kPose[i]) || !partial.contains(kJoints[i])) {
                if (partial.size() > epson::kMaxPartialFields) {
                    partial.clear();
                }
                return Failure::kNone;
            }
            next.tcpPose[i] = partial[kPose[i]];
            next.joints[i] = partial[kJoints[i]];
        }
        sample = next;
        publishedSample = true;
        partial.clear();
        return Failure::kNone;
    }
};

// --- Checks of the receiver's own state --------------------------------------------------------

void checkPublishedStatus(const ControllerStatus& status) {
    FUZZ_CHECK(status.size() == 8, "status without exactly eight keys");
    for (const char* key : {"stat", "system_error", "control_device", "robot_info", "ctrl_info",
                            "emergency_stopped", "safeguard_open", "teach_mode"}) {
        FUZZ_CHECK(status.contains(key), key);
    }
    const std::int64_t ctrlInfo = status.at("ctrl_info");
    const std::int64_t stat = status.at("stat");
    FUZZ_CHECK(status.at("emergency_stopped") == ((ctrlInfo & 0x100) != 0 ? 1 : 0),
               std::to_string(ctrlInfo));
    FUZZ_CHECK(status.at("safeguard_open") == ((ctrlInfo & 0x200) != 0 ? 1 : 0),
               std::to_string(ctrlInfo));
    FUZZ_CHECK(status.at("teach_mode") == ((stat & 0x80000) != 0 ? 1 : 0), std::to_string(stat));
}

std::string buildStream(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return {};
    }
    if ((data[0] & 1U) == 0 || size < 2) {
        return std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    }
    std::string stream(kMaxPacketBytes - data[1], ' ');
    stream.append(reinterpret_cast<const char*>(data + 2), size - 2);
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string stream = buildStream(data, size);

    SocketPeer peer;
    Impl impl;
    impl.socket_.assign(boost::asio::ip::tcp::v4(), peer.takeLocalEnd());
    peer.sendThenClose(stream);

    Model model;
    std::size_t pos = 0;  // the model's framing: packets end at carriage returns
    for (std::size_t count = 0;; ++count) {
        const auto sampleTimeBefore = impl.sampleTime_;
        const auto statusTimeBefore = impl.statusTime_;

        // The receive loop's read, on the receiver's own bounded buffer.
        std::string packet;
        boost::system::error_code readError;
        try {
            packet = impl.readPacket_();
        } catch (const boost::system::system_error& e) {
            readError = e.code();
        }

        const std::size_t carriageReturn = stream.find('\r', pos);
        // A packet longer than the bound breaks the connection instead of growing the buffer.
        if (carriageReturn == std::string::npos && stream.size() - pos <= kMaxPacketBytes) {
            FUZZ_CHECK(readError == boost::asio::error::eof, readError.message());
            break;
        }
        if (carriageReturn == std::string::npos || carriageReturn - pos > kMaxPacketBytes) {
            FUZZ_CHECK(readError == boost::asio::error::not_found, readError.message());
            break;
        }
        FUZZ_CHECK(!readError, "packet " + std::to_string(count) + ": " + readError.message());
        FUZZ_CHECK(packet == stream.substr(pos, carriageReturn - pos), packet);
        pos = carriageReturn + 1;

        Failure failure = Failure::kNone;
        try {
            impl.parsePacket_(packet);
        } catch (const std::invalid_argument& e) {
            FUZZ_CHECK(std::string(e.what()) == "stod", e.what());
            failure = Failure::kInvalidArgument;
            impl.partialFields_.clear();
        } catch (const std::out_of_range& e) {
            FUZZ_CHECK(std::string(e.what()) == "stod", e.what());
            failure = Failure::kOutOfRange;
            impl.partialFields_.clear();
        } catch (const std::exception& e) {
            FUZZ_CHECK(false, std::string("parsePacket_ threw another type: ") + e.what());
        }

        const bool newSample = impl.sampleTime_ != sampleTimeBefore;
        const bool newStatus = impl.statusTime_ != statusTimeBefore;
        FUZZ_CHECK(!(newSample && newStatus), packet);
        FUZZ_CHECK(failure == Failure::kNone || (!newSample && !newStatus), packet);
        if (newStatus) {
            checkPublishedStatus(impl.status_);
        }
        if (newSample) {
            FUZZ_CHECK(impl.partialFields_.empty(), "a published sample leaves fields behind");
        }

        FUZZ_CHECK(model.apply(packet) == failure, packet);
        FUZZ_CHECK(newSample == model.publishedSample, packet);
        FUZZ_CHECK(newStatus == model.publishedStatus, packet);
        FUZZ_CHECK(impl.hasSample_ == model.sample.has_value(), packet);
        FUZZ_CHECK(!model.sample || sameSample(impl.sample_, *model.sample), packet);
        FUZZ_CHECK(impl.hasStatus_ == model.status.has_value(), packet);
        FUZZ_CHECK(!model.status || impl.status_ == *model.status, packet);
        FUZZ_CHECK(sameFields(impl.partialFields_, model.partial), packet);
    }

    impl.socket_.close();
    peer.finish();
    return 0;
}
