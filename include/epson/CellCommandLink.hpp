#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "epson/errors.hpp"
#include "epson/types.hpp"

namespace epson {

/// Command connection to an Epson controller's Remote Ethernet port.
///
/// One command exchange is on the wire at a time; every public operation may be called from
/// any thread. Poses are native: millimetres and [U, V, W] degrees, except the TCP-offset
/// operations, which take and return Veltrix poses [x, y, z, rx, ry, rz] in metres and
/// Euler-XYZ degrees. Progress and clean-up failures are written as console lines, on the
/// standard streams unless a console route says otherwise (console.hpp).
///
/// Unless stated otherwise every operation that talks to the controller
/// @throw NotConnectedError when the link is not connected (nothing is sent).
/// @throw ControllerError when the controller refuses the command (a "!" reply): code(),
///        command() and meaning() tell which refusal.
/// @throw ConnectionLostError when no reply arrives within the deadline, or a read or write
///        fails; the link is disconnected afterwards.
/// @throw OutcomeUnknownError when the command went out but the line read for it was blank or
///        not its own: it may have taken effect; the link stays up.
/// @throw std::runtime_error when the reply is malformed or unexpected.
/// All four kinds derive from std::runtime_error (errors.hpp). Every call has one overall
/// deadline, which lines owed to others do not extend.
class CellCommandLink {
  public:
    /// Remote Ethernet port used when the caller has no other.
    static constexpr std::uint16_t kDefaultPort = 5000;
    /// The protocol's default password.
    static constexpr const char* kDefaultPassword = "";

    /// Creates a disconnected link. No I/O.
    CellCommandLink();
    /// Closes the socket without any protocol step: no Tool restore, motor-off or logout.
    ~CellCommandLink();
    CellCommandLink(const CellCommandLink&) = delete;
    CellCommandLink& operator=(const CellCommandLink&) = delete;

    // --- Session -------------------------------------------------------------------------

    /// Resolves @p host, connects (20 s per attempt, at most 3 attempts 2 s apart when the
    /// connection is lost) and logs in. A connected link is dropped first without logout.
    /// @throw std::invalid_argument if @p password contains a carriage return, line feed or NUL
    ///        or exceeds 16 KiB, or @p host contains a NUL (nothing is resolved or sent).
    /// @throw ControllerError when the controller refuses the login (no further attempt).
    /// @throw std::runtime_error when the host does not resolve, or no attempt connects and
    ///        gets a login reply ("Epson Remote Ethernet login failed after 3 attempts: ...").
    void connect(const std::string& host, std::uint16_t port, const std::string& password);
    /// How many attempts the next connect() makes when the connection is lost (3 unless set):
    /// 1 tells at once whether the controller takes this client, as a tool that must not wait
    /// behind another client wants. Takes effect from the next connect().
    /// @throw std::invalid_argument unless @p attempts is 1 to 10.
    void setConnectAttempts(int attempts);

    /// Restores the saved Tool state, switches off motors this link switched on, logs out and
    /// closes the socket. Clean-up failures are only written as console lines (console.hpp).
    /// @throw std::runtime_error only when closing the socket fails.
    void disconnect();

    /// Whether the TCP connection is up. Takes no lock.
    bool isConnected() const;
    /// Whether the controller confirmed the login. Takes no lock.
    bool isLoggedIn() const;
    /// The message of the last failed motorOn(); empty after success or a new connect().
    std::string motorOnError();

    // --- Status, power and motors --------------------------------------------------------

    bool isEmergencyStopped();
    ControllerStatus getControllerStatus();
    EpsonPowerMode getPowerMode();
    /// Sends "Power Low|High" and verifies it by reading the mode back.
    /// @throw std::invalid_argument for a value outside the enum (nothing is sent).
    void setPowerMode(EpsonPowerMode mode);
    PtpMotionLimits getPtpMotionLimits();
    void motorOn();
    void motorOff();
    void resetController();
    /// "$Pause": beside a running motion (waits at most 5 s for its reply), otherwise as an
    /// ordinary command once the connection is free, waiting at most 5 s for it (then
    /// std::runtime_error "Timed out waiting for the Epson command connection; $Pause was not
    /// sent").
    /// @throw OutcomeUnknownError "Timed out waiting for Epson response to $Pause" when it went
    ///        beside a motion but its reply did not come within 5 s.
    /// @throw std::runtime_error "Another Epson motion-control command is pending" when a
    ///        control command is already in flight during the motion.
    void pause();
    /// "$Continue", delivered like pause().
    void continueMotion();
    /// "$Abort": stops the motions called before it, never one called after it. "$Abort" goes
    /// at once beside every motion statement that may still run on the controller (one whose
    /// call gave up on its reply included), even while a pause() or continueMotion() waits for
    /// its reply; the motion then ends with whatever the controller answers it, normally an
    /// error reply that go() or move() throws as MotionAbortedError. A go() or move() called
    /// earlier that has not sent its motion yet never sends it and throws MotionAbortedError
    /// "Epson motion was aborted before it started"; nothing is sent for it. With no motion
    /// called at all it is an ordinary command when the connection is free, and nothing when
    /// another command holds it (that command is no motion). Returns within 5 s.
    /// @return whether "$Abort" was written beside a motion statement that may still run:
    ///         false when none could run (nothing was stopped, though with no motion called
    ///         an ordinary "$Abort" may have gone).
    /// @throw std::runtime_error "Timed out waiting for the Epson command connection; $Abort was
    ///        not sent" when an earlier abort's reply is still owed and cannot be settled, or
    ///        the peer takes no bytes, within 5 s.
    /// @throw OutcomeUnknownError "Timed out waiting for Epson response to $Abort" when it was
    ///        written beside a motion but its reply did not come within 5 s (the link stays up).
    /// @throw ControllerError when the controller refuses it.
    bool abortMotion();
    /// Whether a go() or move() of this link was called and has not ended, or a motion
    /// statement it wrote may still run on the controller (its call gave up on the reply).
    /// Takes no command lock: an interruption asks it before deciding to abort.
    bool motionMayRun() const;
    /// "$GetStatus": the controller's status flags and error code. Beside a running motion it
    /// goes like pause() (its reply within 5 s), otherwise as an ordinary command.
    /// @throw std::runtime_error when the reply is malformed ("Failed to parse GetStatus
    ///        response: ..."), or "Timed out waiting for Epson response to $GetStatus" beside a
    ///        motion.
    RemoteStatus getRemoteStatus();
    /// Whether the last motion was stopped by its search condition ("Print TillOn").
    /// @throw std::runtime_error when the result is none of "1", "-1", "True", "0", "False".
    bool tillOn();

    // --- Tools ---------------------------------------------------------------------------

    /// @throw std::out_of_range unless 1 <= @p tool_num <= 15.
    /// @throw std::invalid_argument if @p tool_def_point is empty, holds a quote, line end or
    ///        NUL, or exceeds 16 KiB.
    void tlSet(int tool_num, const std::string& tool_def_point);
    /// @throw std::out_of_range unless 1 <= @p tool_num <= 15.
    void tlClear(int tool_num);
    /// @throw std::out_of_range unless 0 <= @p tool_num <= 15 (0 is the flange).
    void setTool(int tool_num);
    int getTool();
    /// @throw std::out_of_range unless 1 <= @p tool_num <= 15.
    bool isToolDefined(int tool_num);
    /// Native [X, Y, Z, U, V, W] of a defined Tool.
    /// @throw std::out_of_range unless 1 <= @p tool_num <= 15.
    std::vector<double> getToolDefinition(int tool_num);

    // --- TCP offset (Veltrix units) ------------------------------------------------------

    /// The selected Tool as [x, y, z, rx, ry, rz]; zeros for the flange.
    std::vector<double> getTcpOffset();
    /// Defines and selects Tool 15 from @p pose, saving the previous state on the first call.
    /// @throw std::invalid_argument unless @p pose holds six finite values.
    void setTcpOffset(const std::vector<double>& pose);
    /// Puts back the Tool state saved by the first setTcpOffset(); no-op without one.
    void restoreTcpOffset();

    // --- Robot state and inverse kinematics ----------------------------------------------

    /// J1..J6 followed by the native pose of Here: twelve values.
    /// @throw std::runtime_error at once while a motion runs, or after 250 ms when another
    ///        command holds the connection.
    std::vector<double> getState();
    /// Joint angles reaching @p cartesian_pose, solved by the controller without moving.
    /// @throw std::invalid_argument for a malformed pose or reference (nothing is sent).
    std::vector<double> inverseKinematics(
        const std::vector<double>& cartesian_pose, bool least_joint_motion,
        const std::optional<std::vector<double>>& reference_joint_positions);

    // --- Motion --------------------------------------------------------------------------

    /// Point-to-point SPEL+ Go; holds the connection until the motion ends (at most 300 s).
    /// @throw std::invalid_argument when the arguments cannot form a valid statement,
    ///        including quotes, line ends or NUL in the verbatim texts, or texts over 16 KiB
    ///        (nothing is sent).
    void go(const std::string& destination, bool cp, bool ljm,
            const std::optional<int>& orientation_flag,
            const std::optional<std::string>& search_expression,
            const std::optional<std::string>& parallel_processing, bool sync,
            const std::optional<int>& speed_percent, const std::optional<int>& acceleration_percent,
            const std::optional<int>& deceleration_percent);

    /// Straight-line SPEL+ Move; holds the connection until the motion ends (at most 300 s).
    /// @throw std::invalid_argument when the arguments cannot form a valid statement,
    ///        including quotes, line ends or NUL in the verbatim texts, or texts over 16 KiB
    ///        (nothing is sent).
    void move(const std::string& destination, bool rot, bool ecp, bool cp,
              const std::optional<std::string>& search_expression,
              const std::optional<std::string>& parallel_processing, bool sync,
              const std::optional<double>& speed_mm_s,
              const std::optional<double>& acceleration_mm_s2);

    // --- Workspace -----------------------------------------------------------------------

    /// Writes the XYLim box, enables strict XYLimMode and verifies both by read-back.
    /// @throw std::invalid_argument unless each corner has three finite coordinates and
    ///        min < max on every axis (nothing is sent).
    void addSafetyCuboid(const std::vector<double>& min_corner_mm,
                         const std::vector<double>& max_corner_mm);

    // --- Digital I/O ---------------------------------------------------------------------

    /// Highest I/O bit number, byte port and word port the link sends. A controller has as
    /// many as its I/O boards give it and refuses (ControllerError) a number it lacks.
    static constexpr int kMaxIoBit = 511;
    static constexpr int kMaxIoBytePort = 63;
    static constexpr int kMaxIoWordPort = 31;

    /// Switches output @p bit on ("On <bit>") or off ("Off <bit>").
    /// Every Digital I/O operation runs one SPEL+ statement through "$Execute", which the
    /// controller refuses while another one runs: during a motion each fails at once instead
    /// (an output that must switch during a motion belongs in the motion's parallel-processing
    /// clause). Otherwise it waits for the connection like any other command.
    /// @throw std::out_of_range unless 0 <= @p bit <= kMaxIoBit (nothing is sent).
    /// @throw std::runtime_error "Digital I/O is refused while a motion is in progress ..."
    ///        when a motion runs (nothing is sent).
    void setOutputBit(int bit, bool on);
    /// Whether output @p bit is on ("Print Oport(<bit>)").
    /// @throw std::out_of_range unless 0 <= @p bit <= kMaxIoBit (nothing is sent).
    /// @throw std::runtime_error during a motion, as setOutputBit(), or when the printed
    ///        result is not a bit.
    bool getOutputBit(int bit);
    /// Whether input @p bit is on ("Print Sw(<bit>)").
    /// @throw std::out_of_range unless 0 <= @p bit <= kMaxIoBit (nothing is sent).
    /// @throw std::runtime_error during a motion, as setOutputBit(), or when the printed
    ///        result is not a bit.
    bool getInputBit(int bit);
    /// Input byte @p port, bits 8*port to 8*port+7, as 0..255 ("Print In(<port>)").
    /// @throw std::out_of_range unless 0 <= @p port <= kMaxIoBytePort (nothing is sent).
    /// @throw std::runtime_error during a motion, as setOutputBit(), or when the printed
    ///        result is not a value from 0 to 255.
    int getInputByte(int port);
    /// Output byte @p port as 0..255 ("Print Out(<port>)"); throws as getInputByte().
    int getOutputByte(int port);
    /// Input word @p port, bits 16*port to 16*port+15, as 0..65535 ("Print InW(<port>)").
    /// @throw std::out_of_range unless 0 <= @p port <= kMaxIoWordPort (nothing is sent).
    /// @throw std::runtime_error during a motion, as setOutputBit(), or when the printed
    ///        result is not a value from 0 to 65535.
    int getInputWord(int port);
    /// Output word @p port as 0..65535 ("Print OutW(<port>)"); throws as getInputWord().
    int getOutputWord(int port);

    /// Opaque; defined in the private sources.
    class Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace epson
