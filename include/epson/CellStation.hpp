#pragma once

#include <memory>
#include <string>

#include "epson/CellCommandLink.hpp"
#include "epson/EthernetReceiveInterface.hpp"

namespace epson {

/// One robot cell: a command link and a telemetry receiver to the same controller, opened and
/// closed as a unit. The login uses a built-in credential that is never exposed. The station
/// never switches the motors on.
class CellStation {
  public:
    /// Connects and logs in the command link, checks the login, then connects the telemetry.
    /// On any failure both links are closed (telemetry first) before the original exception is
    /// rethrown unchanged.
    /// @throw ControllerError when the controller refuses the login.
    /// @throw std::runtime_error when the connection, the login's confirmation or the
    ///        telemetry readiness fails ("Epson Remote Ethernet login was not confirmed; motors
    ///        were not enabled" for an unconfirmed login).
    CellStation(const std::string& host, unsigned short control_port, unsigned short receive_port);
    /// Closes both links on a best-effort basis, even while other owners still hold them.
    ~CellStation();
    CellStation(const CellStation&) = delete;
    CellStation& operator=(const CellStation&) = delete;

    /// A shared handle to the command link; it outlives the station if the caller keeps it.
    std::shared_ptr<CellCommandLink> getControlInterface() const;
    /// A shared handle to the telemetry receiver.
    std::shared_ptr<EthernetReceiveInterface> getReceiveInterface() const;
    /// Whether the command link is connected and then whether the receiver is.
    bool isConnected() const;
    /// Disconnects the receiver, then the command link, always attempting both.
    /// @throw std::runtime_error naming the failed half or halves (an empty message is shown as
    ///        "unknown error").
    void disconnect();
    /// Best-effort close of both links, receiver first; never reports anything.
    void disconnectAfterFailedConnect() noexcept;

  private:
    std::shared_ptr<CellCommandLink> controlInterface_;
    std::shared_ptr<EthernetReceiveInterface> receiveInterface_;
    std::string password_;
};

}  // namespace epson
