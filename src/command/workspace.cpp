// Cartesian workspace limit through XYLim and its strict mode, verified by read-back.

#include <cmath>
#include <stdexcept>

#include "CellCommandLinkImpl.hpp"
#include "results.hpp"
#include "spel_text.hpp"

namespace epson {

void CellCommandLink::Impl::addSafetyCuboid(const std::vector<double>& min_corner_mm,
                                            const std::vector<double>& max_corner_mm) {
    if (min_corner_mm.size() != 3 || max_corner_mm.size() != 3) {
        throw std::invalid_argument("Safety cuboid corners must each have 3 coordinates");
    }
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const double low = min_corner_mm[axis];
        const double high = max_corner_mm[axis];
        if (!std::isfinite(low) || !std::isfinite(high) || !(low < high)) {
            throw std::invalid_argument(
                "Safety cuboid corners must be finite and strictly ordered on every axis");
        }
    }
    std::lock_guard lock(commandMutex_);

    const std::vector<double> sent = {min_corner_mm[0], max_corner_mm[0], min_corner_mm[1],
                                      max_corner_mm[1], min_corner_mm[2], max_corner_mm[2]};
    command_("$Execute,\"XYLimMode 1\"", kCommandTimeout);
    command_("$Execute,\"XYLim " + spel::joinGeneral(sent, 17) + "\"", kCommandTimeout);

    results::verifyXyLimMode(executeAndGetResult_("Print XYLimMode"));
    results::verifyXyLimBounds(
        executeAndGetResult_("Print CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),"
                             "CZ(XYLim(1)),CZ(XYLim(2))"),
        sent);
}

void CellCommandLink::addSafetyCuboid(const std::vector<double>& min_corner_mm,
                                      const std::vector<double>& max_corner_mm) {
    impl_->addSafetyCuboid(min_corner_mm, max_corner_mm);
}

}  // namespace epson
