// Tool management: define, clear, select and read the controller's Tools.

#include <stdexcept>

#include "CellCommandLinkImpl.hpp"
#include "results.hpp"

namespace epson {

void CellCommandLink::Impl::validateToolNumber_(int tool_num, bool allow_zero) {
    const int lowest = allow_zero ? 0 : 1;
    if (tool_num < lowest || tool_num > 15) {
        throw std::out_of_range("Tool number must be between " + std::to_string(lowest) +
                                " and 15");
    }
}

void CellCommandLink::Impl::tlSet_(int tool_num, const std::string& tool_def_point) {
    validateToolNumber_(tool_num, false);
    if (tool_def_point.empty()) {
        throw std::invalid_argument("TLSet tool_def_point must not be empty");
    }
    if (tool_def_point.find_first_of("\"\r\n") != std::string::npos) {
        throw std::invalid_argument("TLSet tool_def_point must not contain quotes or line endings");
    }
    requireTransmittable(tool_def_point, "TLSet tool_def_point");
    command_("$Execute,\"TLSet " + std::to_string(tool_num) + ", " + tool_def_point + "\"",
             kCommandTimeout);
}

void CellCommandLink::Impl::tlClear_(int tool_num) {
    validateToolNumber_(tool_num, false);
    command_("$Execute,\"TLClr " + std::to_string(tool_num) + "\"", kCommandTimeout);
}

void CellCommandLink::Impl::setTool_(int tool_num) {
    validateToolNumber_(tool_num, true);
    command_("$Execute,\"Tool " + std::to_string(tool_num) + "\"", kCommandTimeout);
}

int CellCommandLink::Impl::getTool_() {
    const auto value = parseControllerStatusValue_(executeAndGetResult_("Print Tool"));
    if (value < 0 || value > 15) {
        throw std::runtime_error("Controller returned an invalid Tool number: " +
                                 std::to_string(value));
    }
    return static_cast<int>(value);
}

bool CellCommandLink::Impl::isToolDefined_(int tool_num) {
    validateToolNumber_(tool_num, false);
    return parseControllerStatusValue_(
               executeAndGetResult_("Print TLDef(" + std::to_string(tool_num) + ")")) != 0;
}

std::vector<double> CellCommandLink::Impl::getToolDefinition_(int tool_num) {
    validateToolNumber_(tool_num, false);
    const std::string n = std::to_string(tool_num);
    if (!isToolDefined_(tool_num)) {
        throw std::runtime_error("Tool " + n + " is not defined");
    }
    std::string statement = "Print ";
    for (const char* axis : {"CX", "CY", "CZ", "CU", "CV", "CW"}) {
        statement += std::string(statement.size() > 6 ? "," : "") + axis + "(TLSet(" + n + "))";
    }
    return results::parseToolDefinition(executeAndGetResult_(statement));
}

void CellCommandLink::tlSet(int tool_num, const std::string& tool_def_point) {
    std::lock_guard lock(impl_->commandMutex_);
    impl_->tlSet_(tool_num, tool_def_point);
}

void CellCommandLink::tlClear(int tool_num) {
    std::lock_guard lock(impl_->commandMutex_);
    impl_->tlClear_(tool_num);
}

void CellCommandLink::setTool(int tool_num) {
    std::lock_guard lock(impl_->commandMutex_);
    impl_->setTool_(tool_num);
}

int CellCommandLink::getTool() {
    std::lock_guard lock(impl_->commandMutex_);
    return impl_->getTool_();
}

bool CellCommandLink::isToolDefined(int tool_num) {
    std::lock_guard lock(impl_->commandMutex_);
    return impl_->isToolDefined_(tool_num);
}

std::vector<double> CellCommandLink::getToolDefinition(int tool_num) {
    std::lock_guard lock(impl_->commandMutex_);
    return impl_->getToolDefinition_(tool_num);
}

}  // namespace epson
