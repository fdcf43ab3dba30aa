#pragma once

// Till and Find conditions: comparisons and logical operators over the simulated inputs.
//   condition := term {(Or | Xor) term};  term := factor {And factor};
//   factor    := Not factor | ( condition ) | value [(= | <> | < | > | <= | >=) value]
//   value     := Sw(bit) | In(port) | number | On | Off
// Sw(bit) is 1 or 0; In(port) is the byte of bits 8 * port .. 8 * port + 7. And, Or and Xor
// work bitwise, Not and comparisons give 1 or 0; a condition holds when it is not 0.

#include <bitset>
#include <cstddef>
#include <memory>
#include <vector>

namespace epson::sim::detail {

inline constexpr std::size_t kInputBits = 512;
using Inputs = std::bitset<kInputBits>;

struct Condition {
    enum class Kind { Number, Sw, In, Not, And, Or, Xor, Eq, Ne, Lt, Gt, Le, Ge };
    Kind kind = Kind::Number;
    long long value = 0;  // Number: the value; Sw, In: the bit or port
    std::vector<std::shared_ptr<const Condition>> operands;

    long long evaluate(const Inputs& inputs) const;
    bool holds(const Inputs& inputs) const { return evaluate(inputs) != 0; }
};

using ConditionPtr = std::shared_ptr<const Condition>;

}  // namespace epson::sim::detail
