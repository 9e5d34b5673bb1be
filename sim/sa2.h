// The simulated ECU's own SA2 interpreter: computes the key it expects for a seed from the
// package's byte-coded SA2 program. Written independently of the flasher's interpreter so that
// a fault in one cannot hide behind the other.
//
// Instructions (4-byte operands big-endian): 81 rotate left, 82 rotate right (carry = bit
// rotated out), 93 xxxxxxxx add (carry = overflow), 84 xxxxxxxx subtract (carry = borrow),
// 87 xxxxxxxx xor (carry cleared), 68 nn loop start (counter = nn), 49 loop end,
// 4A nn skip nn bytes when carry clear, 6B nn skip nn bytes. Any other byte ends the program;
// so does an instruction or operand lying beyond the program's end.
#pragma once

#include <cstdint>
#include <vector>

namespace ecusim {

struct Sa2Result {
    uint32_t key = 0;
    bool completed = true;  // false when the step limit stopped a looping program
};

// Runs `program` with `seed` in the register; at most `maxSteps` instructions are executed.
Sa2Result sa2Compute(uint32_t seed, const std::vector<uint8_t>& program, uint64_t maxSteps = 1000000);

// The SA2 program the package generator writes unless told otherwise, and the one the
// simulator checks keys with when no program is configured. It uses all nine instructions.
const std::vector<uint8_t>& defaultSa2Program();

}  // namespace ecusim
