// UDP helpers of the DoIP tests: announcements, an announcer thread, and pointing the
// restore's announcement listening at a free port.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "doip/wire/doip_channel.h"
#include "sockets/udp_socket.h"
#include "support/free_port.h"

inline sockets::SocketOptions To(uint16_t port, const std::string& ip = "127.0.0.1") {
    sockets::SocketOptions o;
    o.targetIp = ip;
    o.targetPort = port;
    return o;
}

// Listens on a free UDP port instead of 13400 for the duration of a test.
struct RestoreListenOnFreePort {
    RestoreListenOnFreePort() : saved(doip::DoipChannel::restoreListen()) {
        port = FreeUdpPort("::1");
        doip::DoipChannel::restoreListen().port = port;
        doip::DoipChannel::restoreListen().seconds = 1;
    }
    ~RestoreListenOnFreePort() { doip::DoipChannel::restoreListen() = saved; }
    doip::DoipChannel::RestoreListen saved;
    uint16_t port;
};

inline std::vector<uint8_t> Announcement(uint16_t address) {
    const uint8_t vin[17] = {'W', 'V', 'W'};
    const uint8_t eid[6] = {1, 2, 3, 4, 5, 6};
    const uint8_t gid[6] = {};
    return doip::BuildVehicleAnnouncement(vin, address, eid, gid);
}

// Sends announcements to ::1:port every 50 ms until destroyed.
struct Announcer {
    Announcer(uint16_t port, std::vector<uint16_t> addresses) {
        worker = std::thread([this, port, addresses] {
            UdpSocket udp;
            udp.open(To(port, "::1"));
            size_t i = 0;
            while (!stop) {
                const std::vector<uint8_t> a = Announcement(addresses[i++ % addresses.size()]);
                udp.write(static_cast<int>(a.size()), a.data());
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    }
    ~Announcer() {
        stop = true;
        worker.join();
    }
    std::atomic<bool> stop{false};
    std::thread worker;
};

