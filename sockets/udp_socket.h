// UDP datagram socket of DoIP vehicle discovery, tied to one remote address: it sends there
// and (with read) accepts datagrams only from that host.
#pragma once

#include <cstdint>

#include "sockets/sockets.h"

class UdpSocket {
public:
    explicit UdpSocket(const sockets::Flavor& flavor = sockets::FlasherFlavor()) : flavor_(&flavor) {}
    ~UdpSocket() { close(); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Resolves targetIp/targetPort as the remote address; optionally joins the IPv6 multicast
    // group targetIp (flasher flavour) and binds sourceIp/sourcePort. false on failure.
    bool open(const sockets::SocketOptions& options);
    // Bytes of one datagram from the remote host (ports not compared); 0 when nothing came in
    // timeoutMs or the sender is another host (dropped with an error line); -1 on a receive error.
    int read(int size, uint8_t* buffer, int timeoutMs);
    // Bytes of one datagram from any sender; 0 when nothing came or on error.
    int readAny(int size, uint8_t* buffer, int timeoutMs);
    // As readAny, and tells who sent it (for servers that answer the sender).
    int readFrom(int size, uint8_t* buffer, int timeoutMs, sockets::SocketAddress& sender);
    // Sends one datagram to the remote address; true when all bytes went out.
    bool write(int size, const uint8_t* data);
    // Sends one datagram to `to` (for servers); true when all bytes went out.
    bool writeTo(int size, const uint8_t* data, const sockets::SocketAddress& to);
    void close();
    int fd() const { return fd_; }
    const sockets::SocketAddress& remote() const { return remote_; }
    // Local port after open (useful when sourcePort was 0).
    uint16_t localPort() const;

private:
    int fd_ = -1;
    sockets::SocketAddress remote_;
    const sockets::Flavor* flavor_;
};
