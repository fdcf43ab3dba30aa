// Digital I/O: output bits set and read, input bits, bytes and words read, each as one SPEL+
// statement through "$Execute". The statement forms name input and output unambiguously (Sw and
// Oport, In and Out), which the Remote Ethernet I/O commands do not.

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "CellCommandLinkImpl.hpp"
#include "results.hpp"
#include "spel_text.hpp"

namespace epson {

namespace {

constexpr std::chrono::milliseconds kIoLockPoll{1};

void requireInRange(int number, int max, const char* what) {
    if (number < 0 || number > max) {
        throw std::out_of_range(std::string(what) + " must be between 0 and " +
                                std::to_string(max) + ", got " + std::to_string(number));
    }
}

[[noreturn]] void refuseDuringMotion() {
    throw std::runtime_error(
        "Digital I/O is refused while a motion is in progress: the controller runs one $Execute "
        "at a time; switch an output during a motion in its parallel-processing clause");
}

/// Takes the command lock, giving up at once whenever a motion holds or takes the connection:
/// the controller would refuse the statement beside it, and waiting could last the whole motion.
/// Polls try_lock for the same reason as the robot-state read (no timed lock under TSan).
std::unique_lock<std::timed_mutex> lockOutsideMotion(CellCommandLink::Impl& impl) {
    std::unique_lock lock(impl.commandMutex_, std::defer_lock);
    for (;;) {
        if (impl.motionInProgress_) {
            refuseDuringMotion();
        }
        if (lock.try_lock()) {
            if (impl.motionInProgress_) {
                refuseDuringMotion();
            }
            return lock;
        }
        std::this_thread::sleep_for(kIoLockPoll);
    }
}

bool readBit(CellCommandLink::Impl& impl, const char* function, int bit) {
    requireInRange(bit, CellCommandLink::kMaxIoBit, "I/O bit number");
    const std::string call = std::string(function) + "(" + spel::formatInteger(bit) + ")";
    const auto lock = lockOutsideMotion(impl);
    return results::parseIoBit(call, impl.executeAndGetResult_("Print " + call));
}

int readPort(CellCommandLink::Impl& impl, const char* function, int port, bool word) {
    requireInRange(port, word ? CellCommandLink::kMaxIoWordPort : CellCommandLink::kMaxIoBytePort,
                   word ? "I/O word port number" : "I/O byte port number");
    const std::string call = std::string(function) + "(" + spel::formatInteger(port) + ")";
    const auto lock = lockOutsideMotion(impl);
    return results::parseIoValue(call, impl.executeAndGetResult_("Print " + call),
                                 word ? 65535 : 255);
}

}  // namespace

void CellCommandLink::setOutputBit(int bit, bool on) {
    requireInRange(bit, kMaxIoBit, "I/O bit number");
    const auto lock = lockOutsideMotion(*impl_);
    impl_->command_(
        "$Execute,\"" + std::string(on ? "On " : "Off ") + spel::formatInteger(bit) + "\"",
        kCommandTimeout);
}

bool CellCommandLink::getOutputBit(int bit) {
    return readBit(*impl_, "Oport", bit);
}

bool CellCommandLink::getInputBit(int bit) {
    return readBit(*impl_, "Sw", bit);
}

int CellCommandLink::getInputByte(int port) {
    return readPort(*impl_, "In", port, false);
}

int CellCommandLink::getOutputByte(int port) {
    return readPort(*impl_, "Out", port, false);
}

int CellCommandLink::getInputWord(int port) {
    return readPort(*impl_, "InW", port, true);
}

int CellCommandLink::getOutputWord(int port) {
    return readPort(*impl_, "OutW", port, true);
}

}  // namespace epson
