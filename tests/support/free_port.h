// Loopback ports nobody uses right now, for tests that must name a port before a peer binds it.
#pragma once

#include <cstdint>
#include <string>

#include "sockets/tcp_socket.h"
#include "sockets/udp_socket.h"

inline uint16_t FreeTcpPort(const std::string& ip = "127.0.0.1") {
    sockets::TcpListener probe;
    if (!probe.open(ip, 0)) return 0;
    return probe.port();
}

inline uint16_t FreeUdpPort(const std::string& ip = "127.0.0.1") {
    UdpSocket probe;
    sockets::SocketOptions options;
    options.targetIp = ip;
    options.targetPort = 9;
    options.bindSource = true;
    if (!probe.open(options)) return 0;
    return probe.localPort();
}
