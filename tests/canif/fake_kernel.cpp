#include "fake_kernel.h"

#include <net/if.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace canif_test {

FakeKernel* FakeKernel::current = nullptr;

namespace {

std::vector<uint8_t> bytes_of(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}

// Records the call; returns -1 with errno set when the script says it fails.
int note(Call call) {
    FakeKernel& k = *FakeKernel::current;
    k.calls.push_back(call);
    const int err = k.fail(call);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

int fake_socket(int domain, int type, int protocol) {
    Call c;
    c.fn = "socket";
    c.a = domain;
    c.b = type;
    c.c = protocol;
    if (note(c) < 0) return -1;
    const int fd = FakeKernel::current->next_fd++;
    FakeKernel::current->calls.back().fd = fd;
    return fd;
}

int fake_setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    Call c;
    c.fn = "setsockopt";
    c.fd = fd;
    c.a = level;
    c.b = name;
    c.bytes = bytes_of(value, length);
    return note(c);
}

int fake_ioctl(int fd, unsigned long request, void* argument) {
    Call c;
    c.fn = "ioctl";
    c.fd = fd;
    c.a = static_cast<long>(request);
    auto* ifr = static_cast<struct ifreq*>(argument);
    c.bytes = bytes_of(ifr->ifr_name, std::strlen(ifr->ifr_name));
    if (note(c) < 0) return -1;
    ifr->ifr_ifindex = FakeKernel::current->ifindex;
    return 0;
}

int fake_bind(int fd, const struct sockaddr* address, socklen_t length) {
    Call c;
    c.fn = "bind";
    c.fd = fd;
    c.bytes = bytes_of(address, length);
    return note(c);
}

int fake_connect(int fd, const struct sockaddr* address, socklen_t length) {
    Call c;
    c.fn = "connect";
    c.fd = fd;
    c.bytes = bytes_of(address, length);
    return note(c);
}

ssize_t fake_read(int fd, void* buffer, size_t length) {
    Call c;
    c.fn = "read";
    c.fd = fd;
    c.a = static_cast<long>(length);
    if (note(c) < 0) return -1;
    auto& queue = FakeKernel::current->inbox[fd];
    if (queue.empty()) return 0;
    std::vector<uint8_t> message = queue.front();
    queue.pop_front();
    const size_t n = std::min(length, message.size());
    std::memcpy(buffer, message.data(), n);
    return static_cast<ssize_t>(n);
}

ssize_t fake_write(int fd, const void* buffer, size_t length) {
    Call c;
    c.fn = "write";
    c.fd = fd;
    c.bytes = bytes_of(buffer, length);
    if (note(c) < 0) return -1;
    const long s = FakeKernel::current->short_write;
    return s >= 0 ? s : static_cast<ssize_t>(length);
}

int fake_select(int nfds, fd_set* readfds, fd_set*, fd_set*, struct timeval* timeout) {
    FakeKernel& k = *FakeKernel::current;
    int fd = -1;
    for (int i = 0; i < nfds; ++i)
        if (readfds != nullptr && FD_ISSET(i, readfds)) fd = i;
    Call c;
    c.fn = "select";
    c.fd = fd;
    c.tv_sec = timeout->tv_sec;
    c.tv_usec = timeout->tv_usec;
    k.calls.push_back(c);
    SelectAnswer answer{k.inbox[fd].empty() ? 0 : 1, 0};
    if (!k.selects.empty()) {
        answer = k.selects.front();
        k.selects.pop_front();
    }
    if (answer.result < 0) {
        errno = answer.err;
        return -1;
    }
    if (answer.result == 0) FD_ZERO(readfds);
    return answer.result;
}

int fake_close(int fd) {
    Call c;
    c.fn = "close";
    c.fd = fd;
    return note(c);
}

const CANIF_tstSys fake_sys = {fake_socket, fake_setsockopt, fake_ioctl, fake_bind, fake_connect,
                               fake_read,   fake_write,      fake_select, fake_close};

}  // namespace

FakeKernel::FakeKernel() {
    current = this;
    CANIF_vSetSys(&fake_sys);
}

FakeKernel::~FakeKernel() {
    CANIF_vSetSys(nullptr);
    current = nullptr;
}

std::vector<Call> FakeKernel::of(const std::string& fn) const {
    std::vector<Call> out;
    for (const auto& c : calls)
        if (c.fn == fn) out.push_back(c);
    return out;
}

std::vector<Call> FakeKernel::options(int fd, int name) const {
    std::vector<Call> out;
    for (const auto& c : calls)
        if (c.fn == "setsockopt" && c.fd == fd && c.b == name) out.push_back(c);
    return out;
}

}  // namespace canif_test
