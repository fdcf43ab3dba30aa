// Reply framing and classification of the command link (ReplyExchange.hpp).
//
// Input: the flag byte, then the bytes the controller sends. They are classified directly by
// parseResponse_, and then sent to the link as its reply stream, followed by end-of-stream.

#include <cstddef>
#include <cstdint>
#include <string>

#include "ReplyExchange.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
    epson::fuzz::checkClassification(stream, data[0]);
    epson::fuzz::checkExchange(stream, data[0]);
    return 0;
}
