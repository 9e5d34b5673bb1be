// TCP stream socket of DoIP: connect with a one-second limit, exact-length reads with a
// per-wait timeout, complete writes, lingering shutdown. Plus a small listening socket for
// the simulator and tests (servers adopt accepted descriptors into TCPSocket).
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>

#include "sockets/sockets.h"

// The peer ended the connection (hang-up seen by poll, or recv returned 0).
class TcpConnectionBroken : public std::runtime_error {
public:
    TcpConnectionBroken() : std::runtime_error("TCP: Connection is broken") {}
};

// Nothing arrived within one wait of `timeout` ms.
class TcpTimeout : public std::runtime_error {
public:
    explicit TcpTimeout(int timeoutMs) : std::runtime_error("TCP: socket poll() timed out"), timeout(timeoutMs) {}
    int timeout;
};

// recv failed with an error other than EINTR.
class TcpReadFailed : public std::runtime_error {
public:
    TcpReadFailed() : std::runtime_error("TCP: socket read() failed") {}
};

class TCPSocket {
public:
    explicit TCPSocket(const sockets::Flavor& flavor = sockets::FlasherFlavor()) : flavor_(&flavor) {}
    // Adopts a connected descriptor (for example one returned by TcpListener::accept).
    explicit TCPSocket(int connectedFd, const sockets::Flavor& flavor = sockets::FlasherFlavor())
        : fd_(connectedFd), flavor_(&flavor) {}
    ~TCPSocket() { shutdown(); }
    TCPSocket(const TCPSocket&) = delete;
    TCPSocket& operator=(const TCPSocket&) = delete;

    // Resolves, creates, optionally binds, connects (1 s limit). false with a log line on failure.
    bool open(const sockets::SocketOptions& options);
    // Fills exactly `size` bytes; each wait for data lasts at most timeoutMs.
    // Throws TcpConnectionBroken, TcpTimeout or TcpReadFailed. size <= 0 does nothing.
    void read(int size, uint8_t* buffer, int timeoutMs);
    // Sends all bytes or throws std::runtime_error.
    void write(int size, const uint8_t* data);
    // Flasher: half-close, drain the peer for up to 1 s, close. Tool: shutdown and close at once.
    void shutdown();
    bool isAlive() const { return fd_.load() != -1; }
    int fd() const { return fd_.load(); }

private:
    std::atomic<int> fd_{-1};
    const sockets::Flavor* flavor_;
};

namespace sockets {

// A listening TCP socket bound to a numeric address and port (0: a free port).
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener() { close(); }
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Binds with SO_REUSEADDR and listens. false with a log line on failure.
    bool open(const std::string& ip, uint16_t port, const Flavor& flavor = FlasherFlavor());
    // Descriptor of one accepted connection, or -1 when none came within timeoutMs.
    int accept(int timeoutMs);
    uint16_t port() const { return port_; }
    int fd() const { return fd_; }
    void close();

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace sockets
