// Session lifecycle: login, logout, the orderly disconnect and the public session operations.

#include <stdexcept>

#include "CellCommandLinkImpl.hpp"

namespace epson {

namespace {

[[noreturn]] void reportAndThrow(const std::string& message) {
    writeConsoleLine(ConsoleLevel::Error, message);
    throw std::runtime_error(message);
}

/// Runs one clean-up step of a disconnect; its failure is reported and the sequence goes on.
template <typename Step>
void cleanupStep(const char* failurePrefix, Step&& step) {
    try {
        step();
    } catch (const std::exception& error) {
        writeConsoleLine(ConsoleLevel::Error, failurePrefix + std::string(error.what()));
    }
}

}  // namespace

void CellCommandLink::Impl::login_(const std::string& password) {
    if (!connected_) {
        reportAndThrow("login() called but not connected");
    }
    if (loggedIn_) {
        reportAndThrow("login() called but already logged in");
    }
    command_("$Login," + password, kCommandTimeout);
}

void CellCommandLink::Impl::logout_() {
    if (!connected_) {
        reportAndThrow("logout() called but not connected");
    }
    if (!loggedIn_) {
        reportAndThrow("logout() called but not logged in");
    }
    command_("$Logout", kCommandTimeout);
}

void CellCommandLink::Impl::disconnect() {
    std::lock_guard lock(commandMutex_);
    if (!connected_) {
        forgetSavedToolState_();
        return;
    }
    if (loggedIn_) {
        if (tcpOverrideActive_) {
            cleanupStep("Failed to restore Epson TCP state: ", [this] { restoreTcpOffset_(); });
        }
        if (motorsOn_) {
            cleanupStep("Failed to turn off motor: ", [this] {
                command_("$Execute,\"Motor Off\"", kCommandTimeout);
                motorsOn_ = false;
            });
        }
        cleanupStep("Failed to log out of controller: ", [this] { logout_(); });
    }
    const boost::system::error_code closeError = closeChannel_();
    ledger_.closeConnection(kClosedUnderControlCommand);
    connected_ = false;
    loggedIn_ = false;
    motorsOn_ = false;
    if (closeError) {
        reportAndThrow("Failed to disconnect: " + closeError.message());
    }
    writeConsoleLine(ConsoleLevel::Info,
                     "Disconnected from " + host_ + ":" + std::to_string(port_));
}

void CellCommandLink::Impl::forgetSavedToolState_() {
    tcpOverrideActive_ = false;
    savedToolNumber_.reset();
    savedToolDefinition_.reset();
}

CellCommandLink::CellCommandLink() : impl_(std::make_unique<Impl>()) {}

CellCommandLink::~CellCommandLink() = default;

void CellCommandLink::connect(const std::string& host, std::uint16_t port,
                              const std::string& password) {
    impl_->connect(host, port, password);
}

void CellCommandLink::setConnectAttempts(int attempts) {
    if (attempts < 1 || attempts > kMaxConnectAttempts) {
        throw std::invalid_argument("connect attempts must be 1 to " +
                                    std::to_string(kMaxConnectAttempts) + ", not " +
                                    std::to_string(attempts));
    }
    impl_->connectAttempts_ = attempts;
}

void CellCommandLink::disconnect() {
    impl_->disconnect();
}

bool CellCommandLink::isConnected() const {
    return impl_->connected_;
}

bool CellCommandLink::isLoggedIn() const {
    return impl_->loggedIn_;
}

std::string CellCommandLink::motorOnError() {
    std::lock_guard lock(impl_->commandMutex_);
    return impl_->motorOnError_;
}

}  // namespace epson
