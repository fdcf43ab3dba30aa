#pragma once

#include <stdexcept>
#include <string>

namespace epson {

/// The controller refused a command: its reply began with "!" ("!Execute,21").
///
/// what() is the complete message, "Remote command failed: " followed by the reply and the
/// command as shown; callers that add context keep the kind and the fields.
class ControllerError : public std::runtime_error {
  public:
    /// @p command is stored as shown in messages: a login's password is replaced.
    ControllerError(const std::string& message, std::string reply, const std::string& command);

    /// The reply's error code: the field after its first comma ("!Execute,21,5" gives 21);
    /// 0 when that field is missing or not a plain decimal number.
    int code() const noexcept { return code_; }
    /// The refused command as shown in messages ("$Login,<redacted>" for a login).
    const std::string& command() const noexcept { return command_; }
    /// The controller's reply line, as received.
    const std::string& reply() const noexcept { return reply_; }
    /// What the Remote Ethernet documentation says the code means; empty for a code it does
    /// not list.
    std::string meaning() const;

  private:
    std::string reply_;
    std::string command_;
    int code_ = 0;
};

/// A motion that this link aborted, through abortMotion() or an interrupted Python call: its
/// controller's error reply after an "$Abort" written beside it, or "Epson motion was aborted
/// before it started" (empty reply, code 0) for one that never sent its statement. Tells a
/// caller's own stop from a controller fault; the message is the one it would have had.
class MotionAbortedError : public ControllerError {
  public:
    using ControllerError::ControllerError;
};

/// The link gave its connection up: no reply within the deadline, a read error, or a reply
/// that never ends. The link is disconnected afterwards, and every command fails with
/// NotConnectedError until the next connect().
class ConnectionLostError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// A command on a link that is not connected ("command() was called but socket not
/// connected"). Nothing was sent.
class NotConnectedError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// A command went out but its outcome cannot be known: its reply was lost, displaced by a
/// blank line, or met a line that is not its own (an error reply naming another command
/// included). The message says that the command may have taken effect; the link treats it as
/// possibly done (a Motor On so counts as motors possibly on, which disconnect() switches off).
/// The connection stays up; the command's own reply, should it still come, is dropped.
class OutcomeUnknownError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// The meaning of a Remote Ethernet error code (10 to 99) as the controller documentation gives
/// it; empty for a code it does not list.
std::string remoteErrorMeaning(int code);

}  // namespace epson
