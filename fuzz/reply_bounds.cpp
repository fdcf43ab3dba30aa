// The reply bounds of the command link: replies of about 1 MiB, one long line or a quoted reply
// continued over lines, near kMaxReplyBytes on either side (ReplyExchange.hpp). Each input
// costs a hundred ordinary ones, so this runs apart from reply_framing.
//
// Input: the flag byte, then the bytes that amplifiedStream turns into the reply stream.

#include <cstddef>
#include <cstdint>

#include "ReplyExchange.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    epson::fuzz::checkExchange(epson::fuzz::amplifiedStream(data + 1, size - 1), data[0]);
    return 0;
}
