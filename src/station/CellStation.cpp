#include "epson/CellStation.hpp"

#include <stdexcept>

#include "DisconnectReport.hpp"

namespace epson {

namespace {

// The Remote Ethernet credential of the cell; deliberately neither configurable nor exposed.
constexpr const char* kBuiltInPassword = "742";

std::string shown(const std::string& error) {
    return error.empty() ? "unknown error" : error;
}

}  // namespace

std::optional<std::string> disconnectFailureMessage(
    const std::optional<std::string>& receiveError,
    const std::optional<std::string>& controlError) {
    if (receiveError && controlError) {
        return "Failed to disconnect both Epson interfaces: receive error: " +
               shown(*receiveError) + "; control error: " + shown(*controlError);
    }
    if (receiveError) {
        return "Failed to disconnect Epson receive interface: " + shown(*receiveError);
    }
    if (controlError) {
        return "Failed to disconnect Epson control interface: " + shown(*controlError);
    }
    return std::nullopt;
}

CellStation::CellStation(const std::string& host, unsigned short control_port,
                         unsigned short receive_port)
    : controlInterface_(std::make_shared<CellCommandLink>()),
      receiveInterface_(std::make_shared<EthernetReceiveInterface>()),
      password_(kBuiltInPassword) {
    try {
        controlInterface_->connect(host, control_port, password_);
        if (!controlInterface_->isLoggedIn()) {
            throw std::runtime_error(
                "Epson Remote Ethernet login was not confirmed; motors were not enabled");
        }
        receiveInterface_->connect(host, receive_port);
    } catch (...) {
        disconnectAfterFailedConnect();
        throw;
    }
}

CellStation::~CellStation() {
    disconnectAfterFailedConnect();
}

std::shared_ptr<CellCommandLink> CellStation::getControlInterface() const {
    return controlInterface_;
}

std::shared_ptr<EthernetReceiveInterface> CellStation::getReceiveInterface() const {
    return receiveInterface_;
}

bool CellStation::isConnected() const {
    return controlInterface_->isConnected() && receiveInterface_->isConnected();
}

void CellStation::disconnect() {
    std::optional<std::string> receiveError;
    std::optional<std::string> controlError;
    try {
        receiveInterface_->disconnect();
    } catch (const std::exception& error) {
        receiveError = error.what();
    }
    try {
        controlInterface_->disconnect();
    } catch (const std::exception& error) {
        controlError = error.what();
    }
    if (const auto message = disconnectFailureMessage(receiveError, controlError)) {
        throw std::runtime_error(*message);
    }
}

void CellStation::disconnectAfterFailedConnect() noexcept {
    try {
        receiveInterface_->disconnect();
    } catch (...) {
    }
    try {
        controlInterface_->disconnect();
    } catch (...) {
    }
}

}  // namespace epson
