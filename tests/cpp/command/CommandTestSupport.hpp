#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "CellCommandLinkImpl.hpp"
#include "ScriptedPeer.hpp"
#include "epson/CellCommandLink.hpp"

namespace epson::test {

/// Adds the login exchange a connect() performs with the empty password.
inline ScriptedPeer& scriptLogin(ScriptedPeer& peer, std::string_view password = "") {
    return peer.exchange("$Login," + std::string(password), "#Login,0");
}

/// Runs @p call and checks that it throws exactly @p Expected with exactly @p message.
template <typename Expected, typename Call>
::testing::AssertionResult throwsWithMessage(Call&& call, const std::string& message) {
    try {
        call();
    } catch (const Expected& error) {
        if (message == error.what()) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "message was \"" << error.what() << "\"\n expected \"" << message << "\"";
    } catch (const std::exception& error) {
        return ::testing::AssertionFailure() << "threw another type: " << error.what();
    }
    return ::testing::AssertionFailure() << "did not throw";
}

/// Elapsed wall time of @p call, whatever it throws.
template <typename Call>
std::chrono::milliseconds timed(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    try {
        call();
    } catch (...) {
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

/// A link connected and logged in to @p peer, whose script must begin with the login.
inline void connectLink(CellCommandLink& link, ScriptedPeer& peer) {
    peer.start();
    link.connect("127.0.0.1", peer.port(), "");
}

/// Same for an Impl driven directly.
inline void connectImpl(CellCommandLink::Impl& impl, ScriptedPeer& peer) {
    peer.start();
    impl.connect("127.0.0.1", peer.port(), "");
}

}  // namespace epson::test
