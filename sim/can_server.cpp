#include "sim/can_server.h"

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/isotp.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "sim/sim_log.h"

namespace ecusim {

namespace {

// The largest ISO-TP message the kernel moves (with the FD first frame escape).
constexpr size_t kMaxMessage = 8200;

canid_t kernelId(uint32_t id) { return id >= 0x800 ? (id | CAN_EFF_FLAG) : id; }

std::string errorText(const char* what) {
    return std::string("CAN front-end: ") + what + ": " + std::strerror(errno);
}

std::string hexHead(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size() && i < 8; ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        s += b;
    }
    return s;
}

}  // namespace

bool parseCanFdOptions(const std::string& text, CanServerConfig& config) {
    unsigned mtu = 0, txDl = 0, flags = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u:%u:%u%c", &mtu, &txDl, &flags, &tail) != 3) return false;
    if (mtu > 255 || txDl > 255 || flags > 255) return false;
    config.mtu = static_cast<uint8_t>(mtu);
    config.txDl = static_cast<uint8_t>(txDl);
    config.txFlags = static_cast<uint8_t>(flags);
    config.canfd = true;
    return true;
}

CanServer::CanServer(EcuModel& model, CanServerConfig config) : model_(model), cfg_(std::move(config)) {}

CanServer::~CanServer() { stop(); }

int CanServer::openSocket(uint32_t rxId, const char* what) {
    const int fd = ::socket(PF_CAN, SOCK_DGRAM, CAN_ISOTP);
    if (fd < 0) throw std::runtime_error(errorText("ISO-TP socket"));
    can_isotp_options opts;
    std::memset(&opts, 0, sizeof opts);
    opts.flags = CAN_ISOTP_TX_PADDING | CAN_ISOTP_RX_PADDING;
    if (cfg_.checkPadding) opts.flags |= CAN_ISOTP_CHK_PAD_LEN | CAN_ISOTP_CHK_PAD_DATA;
    opts.txpad_content = cfg_.padding;
    opts.rxpad_content = cfg_.padding;
    can_isotp_fc_options fc;
    std::memset(&fc, 0, sizeof fc);
    fc.bs = cfg_.blockSize;
    fc.stmin = cfg_.stmin;
    bool ok = ::setsockopt(fd, SOL_CAN_ISOTP, CAN_ISOTP_OPTS, &opts, sizeof opts) == 0 &&
              ::setsockopt(fd, SOL_CAN_ISOTP, CAN_ISOTP_RECV_FC, &fc, sizeof fc) == 0;
    if (ok && cfg_.canfd) {
        can_isotp_ll_options ll;
        ll.mtu = cfg_.mtu;
        ll.tx_dl = cfg_.txDl;
        ll.tx_flags = cfg_.txFlags;
        ok = ::setsockopt(fd, SOL_CAN_ISOTP, CAN_ISOTP_LL_OPTS, &ll, sizeof ll) == 0;
    }
    if (!ok) {
        const std::string text = errorText("ISO-TP options");
        ::close(fd);
        throw std::runtime_error(text);
    }
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, cfg_.interface.c_str(), IFNAMSIZ - 1);
    if (cfg_.interface.size() >= IFNAMSIZ || ::ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        const std::string text = errorText(("interface " + cfg_.interface).c_str());
        ::close(fd);
        throw std::runtime_error(text);
    }
    sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    addr.can_addr.tp.rx_id = kernelId(rxId);
    addr.can_addr.tp.tx_id = kernelId(cfg_.responseId);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        const std::string text = errorText("bind");
        ::close(fd);
        throw std::runtime_error(text);
    }
    logLine(1, "CAN %s requests on 0x%X, answers on 0x%X, %s on %s", what, rxId, cfg_.responseId,
            cfg_.canfd ? "CAN FD" : "classic CAN", cfg_.interface.c_str());
    return fd;
}

void CanServer::start() {
    if (thread_.joinable()) return;
    if (::pipe2(wake_, O_CLOEXEC) < 0) throw std::runtime_error(errorText("pipe"));
    try {
        phy_ = openSocket(cfg_.physicalId, "physical");
        func_ = openSocket(cfg_.functionalId, "functional");
    } catch (...) {
        stop();
        throw;
    }
    stop_ = false;
    thread_ = std::thread([this] { run(); });
}

void CanServer::stop() {
    stop_ = true;
    if (wake_[1] >= 0) {
        const char c = 1;
        (void)!::write(wake_[1], &c, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&phy_, &func_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

bool CanServer::pause(int ms) {
    pollfd p{wake_[0], POLLIN, 0};
    ::poll(&p, 1, ms);
    return !stop_;
}

void CanServer::run() {
    std::vector<uint8_t> buffer(kMaxMessage);
    while (!stop_) {
        pollfd fds[3] = {{wake_[0], POLLIN, 0}, {phy_, POLLIN, 0}, {func_, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            logLine(0, "CAN front-end: poll failed: %s", std::strerror(errno));
            return;
        }
        if (stop_ || (fds[0].revents & POLLIN)) return;
        for (int i = 1; i < 3 && !stop_; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLERR))) continue;
            const bool functional = i == 2;
            const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (n <= 0) {
                // The kernel reports a broken reception (timeout, wrong sequence, bad padding) here.
                model_.note(std::string("CAN ") + (functional ? "functional" : "physical") +
                            " reception failed: " + (n < 0 ? std::strerror(errno) : "empty message"));
                continue;
            }
            std::vector<uint8_t> request(buffer.begin(), buffer.begin() + n);
            ++requests_;
            logLine(2, "CAN %s request %s (%zd bytes)", functional ? "functional" : "physical",
                    hexHead(request).c_str(), n);
            for (const Answer& a : model_.handle(request, functional)) {
                if (a.delayMs > 0 && !pause(a.delayMs)) return;
                const ssize_t sent = ::write(fds[i].fd, a.bytes.data(), a.bytes.size());
                if (sent != static_cast<ssize_t>(a.bytes.size())) {
                    model_.note("CAN answer " + hexHead(a.bytes) + " not sent: " +
                                (sent < 0 ? std::strerror(errno) : "short write"));
                }
            }
        }
    }
}

}  // namespace ecusim
