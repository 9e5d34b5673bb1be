// A recorder in place of the kernel calls of the CAN transport: it notes every call with the
// exact bytes it was given and plays scripted answers (descriptors, failures, select results,
// messages to read).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "canif/canif_sys.h"

namespace canif_test {

struct Call {
    std::string fn;  // socket setsockopt ioctl bind connect read write select close
    int fd = -1;
    long a = 0;  // socket: domain; setsockopt: level; ioctl: request; read: capacity
    long b = 0;  // socket: type; setsockopt: option name
    long c = 0;  // socket: protocol
    std::vector<uint8_t> bytes;  // option value, address, written data, ifreq name
    long tv_sec = 0, tv_usec = 0;  // select timeout
};

// One scripted select answer: result > 0 readable, 0 nothing, < 0 failure with err.
struct SelectAnswer {
    int result;
    int err;
};

class FakeKernel {
public:
    FakeKernel();   // installs itself in place of the kernel
    ~FakeKernel();  // puts the kernel back

    // Returns an errno value to make a call fail, 0 to let it succeed.
    std::function<int(const Call&)> fail = [](const Call&) { return 0; };
    std::deque<SelectAnswer> selects;  // when empty: readable if a message is queued for the fd
    std::map<int, std::deque<std::vector<uint8_t>>> inbox;  // messages read() hands out per fd
    long short_write = -1;  // when >= 0: what every write returns
    int ifindex = 7;        // what SIOCGIFINDEX answers

    std::vector<Call> calls;
    std::vector<Call> of(const std::string& fn) const;
    // setsockopt calls on fd with option `name`.
    std::vector<Call> options(int fd, int name) const;
    int next_fd = 10;

    static FakeKernel* current;
};

}  // namespace canif_test
