#include "sockets/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sockets {

void Socket::close() {
    if (fd_ != -1) {
        ::close(fd_);
        fd_ = -1;
    }
}

int Socket::move() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

SocketAddress::SocketAddress() : length(0) { std::memset(&storage, 0, sizeof storage); }

void SocketAddress::set(const void* address, uint32_t len) {
    if (len > sizeof storage) len = sizeof storage;
    std::memset(&storage, 0, sizeof storage);
    std::memcpy(&storage, address, len);
    length = len;
}

uint16_t SocketAddress::port() const {
    if (storage.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    if (storage.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    return 0;
}

bool IsDataAvailable(int fd, int timeoutMs, bool& alive, const Flavor& flavor) {
    pollfd p{fd, POLLIN, 0};
    int rc = poll(&p, 1, timeoutMs);
    alive = true;
    if (rc == 0) return false;
    if (rc == 1) {
        alive = (p.revents & POLLHUP) == 0;
        return (p.revents & (POLLIN | POLLPRI)) != 0;
    }
    LogError(flavor, "Poll: poll failed: %d - %s", -1, strerror(errno));
    return false;
}

bool IsDataAvailable(int fd, int timeoutMs, const Flavor& flavor) {
    pollfd p{fd, POLLIN, 0};
    int rc = poll(&p, 1, timeoutMs);
    if (rc == 0) {
        LogError(flavor, "Poll: reception timeout %d ms", timeoutMs);
        return false;
    }
    if (rc == 1) {
        if ((p.revents & (POLLIN | POLLPRI)) != 0) return true;
        LogError(flavor, "Poll: reception interrupted");
        return false;
    }
    int err = errno;
    LogError(flavor, "Poll: poll failed: %d - %s", err, strerror(err));
    return false;
}

bool IsSocketWritable(int fd, int timeoutMs, const Flavor& flavor) {
    pollfd p{fd, POLLOUT, 0};
    int rc = poll(&p, 1, timeoutMs);
    if (rc == 0) return false;
    if (rc == 1) return (p.revents & (POLLOUT | POLLPRI)) != 0;
    LogError(flavor, "Poll: poll failed: %d - %s", -1, strerror(errno));
    return false;
}

AddressInfo GetAddressInfo(const SocketOptions& options, int socktype, int protocol, const Flavor& flavor) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    hints.ai_protocol = protocol;
    const std::string port = std::to_string(options.targetPort);
    addrinfo* result = nullptr;
    int rc = getaddrinfo(options.targetIp.c_str(), port.c_str(), &hints, &result);
    if (rc != 0 || result == nullptr) {
        LogError(flavor, "DOIP: invalid IP address and/or port specified: %s:%u . Error: %d - %s",
                 options.targetIp.c_str(), static_cast<unsigned>(options.targetPort), rc, gai_strerror(rc));
        if (result != nullptr) freeaddrinfo(result);
        return AddressInfo();
    }
    return AddressInfo(result);
}

SocketAddress CreateSocketAddress(int family, const char* text, uint16_t port, const Flavor& flavor) {
    SocketAddress address;
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&address.storage);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_ANY);
        if (text != nullptr && inet_pton(AF_INET, text, &in->sin_addr) < 0) {
            int err = errno;
            LogError(flavor, "DOIP: inet_pton failed to transform address %s. Any is used. Error: %d - %s", text,
                     err, strerror(err));
            in->sin_addr.s_addr = htonl(INADDR_ANY);
        }
        in->sin_port = htons(port);
        address.length = sizeof(sockaddr_in);
    } else if (family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_any;
        if (text != nullptr && inet_pton(AF_INET6, text, &in6->sin6_addr) < 0) {
            int err = errno;
            LogError(flavor, "DOIP: inet_pton failed to transform address %s. Any is used. Error: %d - %s", text,
                     err, strerror(err));
            in6->sin6_addr = in6addr_any;
        }
        in6->sin6_port = htons(port);
        address.length = sizeof(sockaddr_in6);
    }
    return address;
}

namespace {

// Clears O_NONBLOCK again; false when that fails.
bool RestoreFlags(int fd, int flags) { return fcntl(fd, F_SETFL, flags) != -1; }

}  // namespace

int NonblockingConnect(int fd, const sockaddr* address, int length, const Flavor& flavor) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return -1;
    if (connect(fd, address, static_cast<socklen_t>(length)) == 0) return RestoreFlags(fd, flags) ? 0 : -1;
    int err = errno;
    const bool waiting = err == EINPROGRESS || (!flavor.tool && err == EAGAIN);
    if (!waiting) {
        LogError(flavor, "Connect: Error %d - %s", err, strerror(err));
        return -1;
    }
    LogDebug(flavor, 2, "Connect: In progress - wait connection");
    pollfd p{fd, POLLOUT, 0};
    int rc = poll(&p, 1, 1000);
    if (rc == 0) {
        if (flavor.tool) LogError(flavor, "Poll: reception timeout %d ms", 1000);
        return -1;
    }
    if (rc == 1) {
        if ((p.revents & (POLLOUT | POLLPRI)) != 0) return RestoreFlags(fd, flags) ? 0 : -1;
        if (flavor.tool) LogError(flavor, "Poll: reception interrupted");
        return -1;
    }
    err = errno;
    LogError(flavor, "Poll: poll failed: %d - %s", flavor.tool ? err : -1, strerror(err));
    return -1;
}

std::string GetAddressOfSocketAddress(const sockaddr* address) {
    if (address == nullptr) return std::string();
    if (address->sa_family == AF_INET) {
        char text[16] = {};
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
        return text;
    }
    if (address->sa_family == AF_INET6) {
        char text[46] = {};
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
        return text;
    }
    return std::string();
}

bool AreEqualSocketAddress(const sockaddr* a, const sockaddr* b) {
    if (a == nullptr || b == nullptr || a->sa_family != b->sa_family) return false;
    if (a->sa_family == AF_INET) {
        return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
    }
    if (a->sa_family == AF_INET6) {
        return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                           &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, sizeof(in6_addr)) == 0;
    }
    return false;
}

namespace {

bool BindTo(int fd, const SocketAddress& local, const Flavor& flavor) {
    int yes = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0) {
        int err = errno;
        LogError(flavor, "Socket: setsockopt failed: %d - %s", err, strerror(err));
        return false;
    }
    if (bind(fd, local.get(), local.length) != 0) {
        int err = errno;
        LogError(flavor, "Socket: bind failed: %d - %s", err, strerror(err));
        return false;
    }
    return true;
}

}  // namespace

bool ReuseAndBind(int fd, int family, const SocketOptions& options, const Flavor& flavor) {
    const char* text = options.sourceIp.empty() ? nullptr : options.sourceIp.c_str();
    return BindTo(fd, CreateSocketAddress(family, text, options.sourcePort, flavor), flavor);
}

bool ReuseAndBind(int fd, int family, uint16_t port, const Flavor& flavor) {
    return BindTo(fd, CreateSocketAddress(family, nullptr, port, flavor), flavor);
}

bool BindSource(int fd, int family, const SocketOptions& options, const Flavor& flavor) {
    return flavor.tool ? ReuseAndBind(fd, family, options.sourcePort, flavor) : ReuseAndBind(fd, family, options, flavor);
}

}  // namespace sockets
