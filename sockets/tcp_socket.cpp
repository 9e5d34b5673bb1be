#include "sockets/tcp_socket.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

using sockets::LogDebug;
using sockets::LogError;

bool TCPSocket::open(const sockets::SocketOptions& options) {
    sockets::AddressInfo info = sockets::GetAddressInfo(options, SOCK_STREAM, IPPROTO_TCP, *flavor_);
    if (!info) return false;
    sockets::Socket sock(::socket(info->ai_family, SOCK_STREAM, IPPROTO_TCP));
    if (sock.fd() == -1) {
        int err = errno;
        LogError(*flavor_, "TCP: socket failed: %d - %s", err, strerror(err));
        return false;
    }
    if (options.bindSource) {
        if (!sockets::BindSource(sock, info->ai_family, options, *flavor_)) return false;
    }
    if (sockets::NonblockingConnect(sock, info->ai_addr, static_cast<int>(info->ai_addrlen), *flavor_) == -1) {
        LogError(*flavor_, "TCP: connect failed");
        return false;
    }
    shutdown();  // an earlier connection of this object is ended first
    fd_ = sock.move();
    LogDebug(*flavor_, 2, "TCP: stream socket initialized successfully");
    return true;
}

void TCPSocket::read(int size, uint8_t* buffer, int timeoutMs) {
    int done = 0;
    const int fd = fd_.load();
    while (done < size) {
        bool readable;
        if (flavor_->tool) {
            readable = sockets::IsDataAvailable(fd, timeoutMs, *flavor_);
        } else {
            bool alive = true;
            readable = sockets::IsDataAvailable(fd, timeoutMs, alive, *flavor_);
            if (!alive) throw TcpConnectionBroken();
        }
        if (!readable) throw TcpTimeout(timeoutMs);
        ssize_t n = ::recv(fd, buffer + done, static_cast<size_t>(size - done), 0);
        if (n == 0) {
            if (!flavor_->tool) LogDebug(*flavor_, 2, "TCPSocket: recv returned zero");
            throw TcpConnectionBroken();
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            throw TcpReadFailed();
        }
        done += static_cast<int>(n);
    }
}

void TCPSocket::write(int size, const uint8_t* data) {
    int done = 0;
    const int fd = fd_.load();
    while (done < size) {
        ssize_t n = ::send(fd, data + done, static_cast<size_t>(size - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n == 0 || errno == EINTR) continue;
        if (flavor_->tool) throw std::runtime_error("TCP socket write() failed");
        throw std::runtime_error(std::string("TCP: socket write() failed, because of ") + strerror(errno));
    }
}

void TCPSocket::shutdown() {
    const int fd = fd_.exchange(-1);
    if (fd == -1) return;
    if (flavor_->tool) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        return;
    }
    // Lingering shutdown: the peer sees an orderly end of stream and gets up to one second
    // to close its side; whatever it still sends is discarded.
    ::shutdown(fd, SHUT_WR);
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    int left = 1000;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) != 1 || (p.revents & (POLLIN | POLLPRI)) == 0) break;
        uint8_t discard[512];
        if (::recv(fd, discard, sizeof discard, 0) <= 0) break;
        left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left < 1) break;
    }
    ::close(fd);
}

namespace sockets {

bool TcpListener::open(const std::string& ip, uint16_t port, const Flavor& flavor) {
    close();
    SocketOptions options;
    options.targetIp = ip;
    options.targetPort = port;
    AddressInfo info = GetAddressInfo(options, SOCK_STREAM, IPPROTO_TCP, flavor);
    if (!info) return false;
    Socket sock(::socket(info->ai_family, SOCK_STREAM, IPPROTO_TCP));
    if (sock.fd() == -1) {
        int err = errno;
        LogError(flavor, "TCP: socket failed: %d - %s", err, strerror(err));
        return false;
    }
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(sock, info->ai_addr, info->ai_addrlen) != 0 || listen(sock, 8) != 0) {
        int err = errno;
        LogError(flavor, "Socket: bind failed: %d - %s", err, strerror(err));
        return false;
    }
    SocketAddress local;
    socklen_t len = sizeof local.storage;
    getsockname(sock, local.get(), &len);
    local.length = len;
    port_ = local.port();
    fd_ = sock.move();
    return true;
}

int TcpListener::accept(int timeoutMs) {
    if (fd_ == -1) return -1;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1 || (p.revents & POLLIN) == 0) return -1;
    return ::accept(fd_, nullptr, nullptr);
}

void TcpListener::close() {
    if (fd_ != -1) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace sockets
