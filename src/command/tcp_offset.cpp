// TCP offset in Veltrix units through the reserved Tool slot, with save and restore.

#include <cmath>
#include <stdexcept>

#include "CellCommandLinkImpl.hpp"
#include "spel_text.hpp"

namespace epson {

namespace {

constexpr double kToolVerifyTolerance = 0.0001;

/// Veltrix [x, y, z, rx, ry, rz] (m, deg) to native [X, Y, Z, U, V, W] (mm, deg).
std::vector<double> toNative(const std::vector<double>& pose) {
    return {pose[0] * 1000.0, pose[1] * 1000.0, pose[2] * 1000.0, pose[5], pose[4], pose[3]};
}

std::vector<double> toVeltrix(const std::vector<double>& native) {
    return {native[0] / 1000.0, native[1] / 1000.0, native[2] / 1000.0,
            native[5],          native[4],          native[3]};
}

}  // namespace

std::string CellCommandLink::Impl::formatToolPoint_(const std::vector<double>& values) {
    return "XY(" + spel::joinGeneral(values, 15) + ")";
}

std::vector<double> CellCommandLink::Impl::getTcpOffset_() {
    const int tool = getTool_();
    if (tool == 0) {
        return std::vector<double>(6, 0.0);
    }
    return toVeltrix(getToolDefinition_(tool));
}

void CellCommandLink::Impl::setTcpOffset(const std::vector<double>& pose) {
    if (pose.size() != 6) {
        throw std::invalid_argument("TCP offset must contain exactly 6 values");
    }
    for (const double value : pose) {
        if (!std::isfinite(value)) {
            throw std::invalid_argument("TCP offset values must be finite");
        }
    }
    std::lock_guard lock(commandMutex_);
    const auto native = toNative(pose);
    if (!tcpOverrideActive_) {
        // Only the first override saves: later ones must not save an earlier override.
        const int selected = getTool_();
        std::optional<std::vector<double>> slotDefinition;
        if (isToolDefined_(kTcpToolSlot)) {
            slotDefinition = getToolDefinition_(kTcpToolSlot);
        }
        savedToolNumber_ = selected;
        savedToolDefinition_ = std::move(slotDefinition);
        tcpOverrideActive_ = true;
    }
    tlSet_(kTcpToolSlot, formatToolPoint_(native));
    setTool_(kTcpToolSlot);

    const auto readBack = getToolDefinition_(kTcpToolSlot);
    bool verified = readBack.size() == native.size();
    for (std::size_t i = 0; verified && i < native.size(); ++i) {
        verified = spel::withinTolerance(readBack[i], native[i], kToolVerifyTolerance);
    }
    if (!verified || getTool_() != kTcpToolSlot) {
        throw std::runtime_error("Failed to verify the Epson controller TCP offset");
    }
}

void CellCommandLink::Impl::restoreTcpOffset_() {
    if (!tcpOverrideActive_) {
        return;
    }
    if (savedToolDefinition_) {
        tlSet_(kTcpToolSlot, formatToolPoint_(*savedToolDefinition_));
    } else if (isToolDefined_(kTcpToolSlot)) {
        tlClear_(kTcpToolSlot);
    }
    setTool_(savedToolNumber_.value());
    forgetSavedToolState_();
}

std::vector<double> CellCommandLink::getTcpOffset() {
    std::lock_guard lock(impl_->commandMutex_);
    return impl_->getTcpOffset_();
}

void CellCommandLink::setTcpOffset(const std::vector<double>& pose) {
    impl_->setTcpOffset(pose);
}

void CellCommandLink::restoreTcpOffset() {
    std::lock_guard lock(impl_->commandMutex_);
    impl_->restoreTcpOffset_();
}

}  // namespace epson
