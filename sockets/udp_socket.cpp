#include "sockets/udp_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using sockets::LogDebug;
using sockets::LogError;

bool UdpSocket::open(const sockets::SocketOptions& options) {
    close();
    sockets::AddressInfo info = sockets::GetAddressInfo(options, SOCK_DGRAM, IPPROTO_UDP, *flavor_);
    if (!info) return false;
    LogDebug(*flavor_, 2, "UDP: bind %s source-port %d family %d", options.bindSource ? "true" : "false",
             static_cast<int>(options.sourcePort), info->ai_family);
    remote_.set(info->ai_addr, static_cast<uint32_t>(info->ai_addrlen));
    sockets::Socket sock(::socket(info->ai_family, SOCK_DGRAM, IPPROTO_UDP));
    if (sock.fd() == -1) {
        int err = errno;
        LogError(*flavor_, "UDP: socket failed: %d - %s", err, strerror(err));
        return false;
    }
    if (options.joinMulticast && !flavor_->tool) {
        ipv6_mreq group{};
        group.ipv6mr_multiaddr = reinterpret_cast<const sockaddr_in6*>(remote_.get())->sin6_addr;
        group.ipv6mr_interface = 0;
        if (setsockopt(sock, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
            int err = errno;
            LogError(*flavor_, "UDP: setsockopt IPV6_ADD_MEMBERSHIP failed: %d - %s", err, strerror(err));
            return false;
        }
    }
    if (options.bindSource) {
        if (!sockets::BindSource(sock, info->ai_family, options, *flavor_)) return false;
    }
    fd_ = sock.move();
    LogDebug(*flavor_, 2, "UDP: datagram socket initialized successfully");
    return true;
}

int UdpSocket::readFrom(int size, uint8_t* buffer, int timeoutMs, sockets::SocketAddress& sender) {
    if (fd_ < 0) return 0;
    bool alive = true;
    bool readable = flavor_->tool ? sockets::IsDataAvailable(fd_, timeoutMs, *flavor_)
                                  : sockets::IsDataAvailable(fd_, timeoutMs, alive, *flavor_);
    if (!readable) return 0;
    socklen_t len = sizeof sender.storage;
    ssize_t n = ::recvfrom(fd_, buffer, static_cast<size_t>(size), 0, sender.get(), &len);
    sender.length = len;
    return static_cast<int>(n);
}

int UdpSocket::read(int size, uint8_t* buffer, int timeoutMs) {
    sockets::SocketAddress sender;
    int n = readFrom(size, buffer, timeoutMs, sender);
    if (n < 1) return n;
    LogDebug(*flavor_, 2, "UDP: received datagram from the address %s",
             sockets::GetAddressOfSocketAddress(sender.get()).c_str());
    if (sockets::AreEqualSocketAddress(sender.get(), remote_.get())) return n;
    LogError(*flavor_, "UDP: address is not expected target %s",
             sockets::GetAddressOfSocketAddress(remote_.get()).c_str());
    return 0;
}

int UdpSocket::readAny(int size, uint8_t* buffer, int timeoutMs) {
    sockets::SocketAddress sender;
    int n = readFrom(size, buffer, timeoutMs, sender);
    if (n < 1) return 0;
    LogDebug(*flavor_, 2, "UDP: received datagram from the address %s",
             sockets::GetAddressOfSocketAddress(sender.get()).c_str());
    return n;
}

bool UdpSocket::writeTo(int size, const uint8_t* data, const sockets::SocketAddress& to) {
    if (fd_ < 0) return false;
    ssize_t n = ::sendto(fd_, data, static_cast<size_t>(size), MSG_CONFIRM, to.get(), to.length);
    if (n == size) return true;
    LogError(*flavor_,
             flavor_->tool ? "DOIP: datagram transmission failed (written %lu, expected %lu)"
                           : "UDP: datagram transmission failed (written %lu, expected %lu)",
             static_cast<unsigned long>(n), static_cast<unsigned long>(size));
    return false;
}

bool UdpSocket::write(int size, const uint8_t* data) { return writeTo(size, data, remote_); }

void UdpSocket::close() {
    if (fd_ != -1) {
        ::close(fd_);
        fd_ = -1;
    }
}

uint16_t UdpSocket::localPort() const {
    if (fd_ < 0) return 0;
    sockets::SocketAddress local;
    socklen_t len = sizeof local.storage;
    if (getsockname(fd_, local.get(), &len) != 0) return 0;
    return local.port();
}
