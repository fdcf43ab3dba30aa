#pragma once

// The reply exchange check shared by the reply_framing and reply_bounds harnesses.
//
// The flag byte of an input:
//   bits 0-1  command: $Execute, $Login, $Logout, or a statement through executeAndGetResult_
//   bit 2     a side-path "$Pause" waits for its reply in the ledger
//   bit 3     a "$Continue" that gave up waiting is still owed its reply
//   bit 4     logged in before the command

#include <cstddef>
#include <cstdint>
#include <string>

namespace epson::fuzz {

/// parseResponse_ on any text: it only throws std::runtime_error, its messages are the fixed
/// texts, a password never appears, and only the login and logout confirmations move the flag.
void checkClassification(const std::string& reply, std::uint8_t flags);

/// Runs one command against a peer that sends @p stream and then end-of-stream, and compares
/// the outcome, lastResponse_, the hand-over to a pending command and the connection and login
/// flags with the model.
void checkExchange(const std::string& stream, std::uint8_t flags);

/// A stream that reaches the reply bounds: a run of about 1 MiB of one byte between the bytes
/// before the first 0xFF of the payload and those after it. The first three bytes pick the
/// run's length (within 4 KiB of kMaxReplyBytes, either side) and its byte.
std::string amplifiedStream(const std::uint8_t* data, std::size_t size);

}  // namespace epson::fuzz
