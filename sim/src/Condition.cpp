#include "Condition.hpp"

namespace epson::sim::detail {

long long Condition::evaluate(const Inputs& inputs) const {
    const auto operand = [&](std::size_t i) { return operands[i]->evaluate(inputs); };
    switch (kind) {
        case Kind::Number:
            return value;
        case Kind::Sw:
            return inputs.test(static_cast<std::size_t>(value)) ? 1 : 0;
        case Kind::In: {
            long long byte = 0;
            for (std::size_t bit = 0; bit < 8; ++bit) {
                byte |= inputs.test(static_cast<std::size_t>(value) * 8 + bit) ? (1LL << bit) : 0;
            }
            return byte;
        }
        case Kind::Not:
            return operand(0) == 0 ? 1 : 0;
        case Kind::And:
            return operand(0) & operand(1);
        case Kind::Or:
            return operand(0) | operand(1);
        case Kind::Xor:
            return operand(0) ^ operand(1);
        case Kind::Eq:
            return operand(0) == operand(1) ? 1 : 0;
        case Kind::Ne:
            return operand(0) != operand(1) ? 1 : 0;
        case Kind::Lt:
            return operand(0) < operand(1) ? 1 : 0;
        case Kind::Gt:
            return operand(0) > operand(1) ? 1 : 0;
        case Kind::Le:
            return operand(0) <= operand(1) ? 1 : 0;
        case Kind::Ge:
            return operand(0) >= operand(1) ? 1 : 0;
    }
    return 0;
}

}  // namespace epson::sim::detail
