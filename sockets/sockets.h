// Socket layer of DoIP: numeric address resolution for IPv4 and IPv6, non-blocking connect
// with a one-second limit, polling, and the owning helpers around descriptors and addresses.
// The TCP and UDP socket classes are in tcp_socket.h and udp_socket.h.
//
// Every function that logs takes a Flavor (flavor.h); the default is the flasher's.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>

#include "sockets/flavor.h"

namespace sockets {

// Where a socket connects or sends to, and what it binds locally. Holds no timeouts.
// The tool leaves sourceIp empty and joinMulticast false (its build has neither).
struct SocketOptions {
    std::string targetIp;     // remote numeric IPv4/IPv6 text; decides the address family
    std::string sourceIp;     // local numeric address to bind to; empty: any address
    uint16_t targetPort = 0;  // remote port
    uint16_t sourcePort = 0;  // local port to bind to; 0: chosen by the system
    bool bindSource = false;  // SO_REUSEADDR and bind before use
    bool joinMulticast = false;  // UDP only: join the IPv6 multicast group targetIp
};

// Owns one descriptor (-1 = none); closes it on destruction.
class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    ~Socket() { close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }
    operator int() const { return fd_; }
    void close();
    // Gives up ownership: returns the descriptor and holds -1.
    int move();

private:
    int fd_;
};

// 128 bytes of address storage and the used length (0 = empty).
struct SocketAddress {
    SocketAddress();
    void set(const void* address, uint32_t length);
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    int family() const { return storage.ss_family; }
    uint16_t port() const;  // host order, 0 for other families

    sockaddr_storage storage;
    uint32_t length;
};

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};
// Result list of getaddrinfo; empty on failure. Callers use the first entry.
using AddressInfo = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// poll() for input. alive := no hang-up seen. true when POLLIN or POLLPRI is set.
bool IsDataAvailable(int fd, int timeoutMs, bool& alive, const Flavor& flavor = FlasherFlavor());
// The tool's readiness test: also logs timeouts and interruptions; a hang-up reads as
// "not readable".
bool IsDataAvailable(int fd, int timeoutMs, const Flavor& flavor);
bool IsSocketWritable(int fd, int timeoutMs, const Flavor& flavor = FlasherFlavor());

// Numeric-only getaddrinfo of targetIp/targetPort (AI_NUMERICHOST | AI_NUMERICSERV).
AddressInfo GetAddressInfo(const SocketOptions& options, int socktype, int protocol,
                           const Flavor& flavor = FlasherFlavor());
// Address of the family from numeric text (null or not an address: the any-address) and port.
SocketAddress CreateSocketAddress(int family, const char* text, uint16_t port,
                                  const Flavor& flavor = FlasherFlavor());
// Connects with a fixed 1000 ms limit. 0 connected, -1 failed. The socket stays blocking.
int NonblockingConnect(int fd, const sockaddr* address, int length, const Flavor& flavor = FlasherFlavor());
// Numeric text of an IPv4/IPv6 address; empty for null or other families.
std::string GetAddressOfSocketAddress(const sockaddr* address);
// Same family and same address (ports are not compared).
bool AreEqualSocketAddress(const sockaddr* a, const sockaddr* b);
// SO_REUSEADDR, then bind to sourceIp (any when empty) and sourcePort.
bool ReuseAndBind(int fd, int family, const SocketOptions& options, const Flavor& flavor = FlasherFlavor());
// The tool's form: the any-address of the family and the given port.
bool ReuseAndBind(int fd, int family, uint16_t port, const Flavor& flavor);
// The form of the flavour: the tool binds any-address and sourcePort, the flasher as above.
bool BindSource(int fd, int family, const SocketOptions& options, const Flavor& flavor);

}  // namespace sockets
