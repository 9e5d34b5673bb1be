#include "sim/sa2.h"

#include <cstddef>

namespace ecusim {

Sa2Result sa2Compute(uint32_t seed, const std::vector<uint8_t>& program, uint64_t maxSteps) {
    uint32_t reg = seed;
    bool carry = false;
    size_t pc = 0;
    uint8_t loopCount = 0;
    size_t loopStart = 0;
    const size_t n = program.size();
    auto operand32 = [&](size_t at) {
        return uint32_t(program[at]) << 24 | uint32_t(program[at + 1]) << 16 | uint32_t(program[at + 2]) << 8 |
               uint32_t(program[at + 3]);
    };
    for (uint64_t steps = 0;; ++steps) {
        if (steps >= maxSteps) return {reg, false};
        if (pc >= n) return {reg, true};
        const uint8_t op = program[pc];
        switch (op) {
            case 0x81:
                carry = (reg & 0x80000000u) != 0;
                reg = (reg << 1) | (carry ? 1u : 0u);
                pc += 1;
                break;
            case 0x82:
                carry = (reg & 1u) != 0;
                reg = (reg >> 1) | (carry ? 0x80000000u : 0u);
                pc += 1;
                break;
            case 0x93:
            case 0x84:
            case 0x87: {
                if (pc + 5 > n) return {reg, true};
                const uint32_t v = operand32(pc + 1);
                if (op == 0x93) {
                    const uint32_t sum = reg + v;
                    carry = sum < reg;
                    reg = sum;
                } else if (op == 0x84) {
                    carry = reg < v;
                    reg = reg - v;
                } else {
                    reg ^= v;
                    carry = false;
                }
                pc += 5;
                break;
            }
            case 0x68:
                if (pc + 2 > n) return {reg, true};
                loopCount = program[pc + 1];
                pc += 2;
                loopStart = pc;
                break;
            case 0x49:
                if (loopCount == 0) {
                    pc += 1;
                } else {
                    --loopCount;
                    pc = (loopCount != 0) ? loopStart : pc + 1;
                }
                break;
            case 0x4A:
            case 0x6B:
                if (pc + 2 > n) return {reg, true};
                if (op == 0x6B || !carry)
                    pc = pc + 2 + program[pc + 1];
                else
                    pc += 2;
                break;
            default:
                return {reg, true};
        }
    }
}

const std::vector<uint8_t>& defaultSa2Program() {
    static const std::vector<uint8_t> program = {
        0x68, 0x05,                    // loop 5 times:
        0x81,                          //   rotate left
        0x4A, 0x05,                    //   carry clear: skip the xor
        0x87, 0x5A, 0x3C, 0x96, 0xE1,  //   xor
        0x49,                          // end of loop
        0x93, 0x12, 0x34, 0x56, 0x78,  // add
        0x84, 0x0F, 0xED, 0xCB, 0xA9,  // subtract
        0x82,                          // rotate right
        0x6B, 0x05,                    // skip the next xor
        0x87, 0xFF, 0xFF, 0xFF, 0xFF,  // (skipped)
        0x87, 0x00, 0xC0, 0xFF, 0xEE,  // xor
        0x4C,                          // end
    };
    return program;
}

}  // namespace ecusim
