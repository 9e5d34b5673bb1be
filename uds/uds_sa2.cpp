// SA2 security access: seed/key exchange at level 0x11/0x12 and the interpreter of the
// byte-coded key program taken from the ODX-F file.
#include <vector>

#include "logging/log.h"
#include "uds/uds_internal.h"

namespace {

uint32_t UDS__u32Operand(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

uint32_t UDS__u32SA1Job(uint32_t seed, const uint8_t* program, uint32_t length, bool* pboOk) {
    uint32_t r = seed;
    bool c = false;
    uint32_t pc = 0;
    uint8_t loop = 0;
    uint32_t loopStart = 0;
    if (pboOk != nullptr) *pboOk = true;
    if (program == nullptr) return r;
    for (uint32_t steps = 0;; ++steps) {
        if (steps >= UDS__SA2_MAX_STEPS) {
            LOG_vError("UDS: SA2 Program exceeds %u Instructions", UDS__SA2_MAX_STEPS);
            if (pboOk != nullptr) *pboOk = false;
            return r;
        }
        if (pc >= length) return r;
        const uint8_t op = program[pc];
        const uint32_t left = length - pc - 1;  // operand bytes available behind the opcode
        switch (op) {
            case 0x81:
                c = (r & 0x80000000u) != 0;
                r = (r << 1) | (c ? 1u : 0u);
                pc += 1;
                break;
            case 0x82:
                c = (r & 1u) != 0;
                r = (r >> 1) | (c ? 0x80000000u : 0u);
                pc += 1;
                break;
            case 0x93: {
                if (left < 4) return r;
                const uint32_t v = UDS__u32Operand(program + pc + 1);
                const uint32_t sum = r + v;
                c = sum < r;
                r = sum;
                pc += 5;
                break;
            }
            case 0x84: {
                if (left < 4) return r;
                const uint32_t v = UDS__u32Operand(program + pc + 1);
                c = r < v;
                r = r - v;
                pc += 5;
                break;
            }
            case 0x87:
                if (left < 4) return r;
                r ^= UDS__u32Operand(program + pc + 1);
                c = false;
                pc += 5;
                break;
            case 0x68:
                if (left < 1) return r;
                loop = program[pc + 1];
                pc += 2;
                loopStart = pc;
                break;
            case 0x49:
                pc += 1;
                if (loop != 0) {
                    --loop;
                    if (loop != 0) pc = loopStart;
                }
                break;
            case 0x4A:
                if (left < 1) return r;
                pc += 2 + (c ? 0u : program[pc + 1]);
                break;
            case 0x6B:
                if (left < 1) return r;
                pc += 2u + program[pc + 1];
                break;
            default:
                return r;
        }
    }
}

bool UDS_boDoSA2Access(const uint8_t* program, uint32_t length) {
    std::vector<uint8_t> answer(UDS_BUF_MAX, 0);
    uint8_t request[2] = {0x27, UDS_SA_REQUEST_SEED};
    uint16_t n = UDS_BUF_MAX;
    if (UDS__enSendUDS(IF_SOCKET_PHY, request, sizeof request, answer.data(), &n, UDS_SUPPRESS_POS_RESP_OFF) !=
        UDS_RES_OK) {
        return false;
    }
    if (answer[1] != UDS_SA_REQUEST_SEED) {
        LOG_vError("UDS: SA Wrong SubFct in Answer 0x%02X", answer[1]);
        return false;
    }
    const uint16_t seedLen = static_cast<uint16_t>(n - 2);
    if (n != 6) {
        LOG_vError("UDS: SA2 Invalid Seed Size Received %d", static_cast<int>(seedLen));
        return false;
    }
    bool ok = true;
    const uint32_t key = UDS__u32SA1Job(UDS__u32Operand(answer.data() + 2), program, length, &ok);
    if (!ok) return false;
    const uint8_t keyBytes[4] = {static_cast<uint8_t>(key >> 24), static_cast<uint8_t>(key >> 16),
                                 static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key)};
    if (UDS_enSecurityAccess(UDS_SA_SEND_KEY, keyBytes, 4, nullptr, nullptr) != UDS_RES_OK) {
        LOG_vError("UDS: SA2 Key not Accepted");
        return false;
    }
    LOG_vInfo("UDS: SA2 Key OK");
    return true;
}
