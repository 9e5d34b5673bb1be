// CAN transport: UDS requests and answers through the kernel's ISO-TP sockets (which do the
// segmentation, flow control, padding and frame timing), and the periodic functional tester
// present through the kernel's broadcast manager, so no thread of our own is needed.
#include "canif/canif.h"

#include <linux/can.h>
#include <linux/can/bcm.h>
#include <linux/can/isotp.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "canif/canif_internal.h"
#include "canif/canif_sys.h"
#include "flasher/cfg.h"
#include "logging/log.h"

// Dynamic flow-control parameters; newer kernels name the flag, older headers lack it.
#ifndef CAN_ISOTP_DYN_FC_PARMS
#define CAN_ISOTP_DYN_FC_PARMS 0x2000
#endif

static_assert(sizeof(can_isotp_options) == 12, "ISO-TP options record");
static_assert(sizeof(can_isotp_fc_options) == 3, "ISO-TP flow-control record");
static_assert(sizeof(can_isotp_ll_options) == 3, "ISO-TP link-layer record");
static_assert(sizeof(sockaddr_can) == 24, "CAN socket address");
static_assert(sizeof(can_frame) == 16, "classic CAN frame");

namespace {

int CANIF__iCanPhySocket = -1;        // physical requests; the only socket that is read
int CANIF__iCanFuncSocket = -1;       // functional requests; never read
int CANIF__iCanCyclicFuncSocket = -1;  // broadcast manager: periodic tester present
const char* CANIF_acCanChannel = nullptr;

const char* CANIF__pcChannel() { return CANIF_acCanChannel != nullptr ? CANIF_acCanChannel : ""; }

// A configured identifier must fit 29 bits; anything wider would be cut by the kernel's
// 32-bit identifier field and could address another node.
bool CANIF__boValidId(uint64_t id) {
    if (id <= CAN_EFF_MASK) return true;
    LOG_vError("CANIF: Invalid CAN identifier 0x%llX", static_cast<unsigned long long>(id));
    return false;
}

// Identifiers of 0x800 and above go to the kernel as 29-bit extended identifiers.
canid_t CANIF__u32KernelId(uint64_t id) {
    return id >= 0x800 ? static_cast<canid_t>(id) | CAN_EFF_FLAG : static_cast<canid_t>(id);
}

void CANIF__vCopyIfName(struct ifreq& ifr) {
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, CANIF__pcChannel(), IFNAMSIZ - 1);
}

void CANIF__vClose(int& fd) {
    if (fd != -1) {
        CANIF_stSys().close(fd);
        fd = -1;
    }
}

// Waits until the physical socket is readable: 1 readable, 0 timed out, -1 failed.
// An interrupted wait (EINTR) is not an error: the wait goes on for the rest of the time,
// so the read that follows never blocks on a socket with nothing waiting.
int CANIF__iWaitReadable(int fd, int timeout_ms) {
    using clock = std::chrono::steady_clock;
    if (timeout_ms < 0) timeout_ms = 0;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    long wait_ms = timeout_ms;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        struct timeval tv;
        tv.tv_sec = wait_ms / 1000;
        tv.tv_usec = (wait_ms % 1000) * 1000;
        const int n = CANIF_stSys().select(fd + 1, &readable, nullptr, nullptr, &tv);
        if (n < 0) {
            const int err = errno;
            std::perror("CANIF: RX Phy Socket select");
            if (err != EINTR) {
                LOG_vError("CANIF: Select Result %d", err);
                return -1;
            }
            LOG_vDebug_1("CANIF: *** Ignored EINTR ***");
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
            wait_ms = left > 0 ? left : 0;
            continue;
        }
        return n > 0 && FD_ISSET(fd, &readable) ? 1 : 0;
    }
}

}  // namespace

bool CANIF__boInitSocket(IF_tenSocketType type) {
    const CANIF_tstSys& sys = CANIF_stSys();
    struct can_isotp_options opts;
    struct can_isotp_fc_options fcopts;
    struct can_isotp_ll_options llopts;
    std::memset(&opts, 0, sizeof opts);
    std::memset(&fcopts, 0, sizeof fcopts);
    std::memset(&llopts, 0, sizeof llopts);

    const bool func = type == IF_SOCKET_FUNC;
    const char* name = func ? "Func" : "Phy";
    const uint64_t req_id = func ? CFG_u64GetTesterFuncReqId() : CFG_u64GetTesterPhyReqId();
    const uint64_t resp_id = CFG_u64GetECURespId();
    if (!CANIF__boValidId(req_id) || !CANIF__boValidId(resp_id)) return false;

    if (CFG_boUseCanFD()) {
        const CFG_tstCanFdOpts* fd_opts = CFG_pstGetCanFDOpts();
        llopts.mtu = fd_opts->mtu;
        llopts.tx_dl = fd_opts->tx_dl;
        llopts.tx_flags = fd_opts->tx_flags;
    }

    const uint8_t pad = CFG_u8GetCanPaddingByte();
    opts.flags = CAN_ISOTP_TX_PADDING | CAN_ISOTP_RX_PADDING;
    opts.txpad_content = pad;
    opts.rxpad_content = pad;
    if (CFG_boUseDynamicFlowControl()) opts.flags |= CAN_ISOTP_DYN_FC_PARMS;
    const int32_t stmin_us = CFG_i32GetTxSTMinUSec();
    if (stmin_us != -1) {
        opts.frame_txtime = static_cast<uint32_t>(stmin_us) * 1000u;
        opts.flags |= CAN_ISOTP_FORCE_TXSTMIN;
    }
    opts.flags |= CAN_ISOTP_FORCE_RXSTMIN;

    const int fd = sys.socket(PF_CAN, SOCK_DGRAM, CAN_ISOTP);
    if (fd < 0) {
        std::perror("ERROR CANIF: Socket");
        return false;
    }
    sys.setsockopt(fd, SOL_CAN_ISOTP, CAN_ISOTP_OPTS, &opts, sizeof opts);
    if (llopts.tx_dl != 0) {
        LOG_vDebug_1("CANIF: mtu: %d, tx_dl: %d, flags: %d", llopts.mtu, llopts.tx_dl, llopts.tx_flags);
        if (sys.setsockopt(fd, SOL_CAN_ISOTP, CAN_ISOTP_LL_OPTS, &llopts, sizeof llopts) < 0) {
            std::perror("ERROR CANIF: Unable to set socket options: ");
            sys.close(fd);
            return false;
        }
    }
    sys.setsockopt(fd, SOL_CAN_ISOTP, CAN_ISOTP_RECV_FC, &fcopts, sizeof fcopts);
    const uint32_t zero_stmin = 0;
    if (opts.flags & CAN_ISOTP_FORCE_TXSTMIN) {
        sys.setsockopt(fd, SOL_CAN_ISOTP, CAN_ISOTP_TX_STMIN, &zero_stmin, sizeof zero_stmin);
    }
    sys.setsockopt(fd, SOL_CAN_ISOTP, CAN_ISOTP_RX_STMIN, &zero_stmin, sizeof zero_stmin);

    struct ifreq ifr;
    CANIF__vCopyIfName(ifr);
    sys.ioctl(fd, SIOCGIFINDEX, &ifr);
    struct sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    addr.can_addr.tp.rx_id = CANIF__u32KernelId(resp_id);
    addr.can_addr.tp.tx_id = CANIF__u32KernelId(req_id);
    if (sys.bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0) {
        std::perror("ERROR CANIF: Bind");
        sys.close(fd);
        return false;
    }

    int& slot = func ? CANIF__iCanFuncSocket : CANIF__iCanPhySocket;
    CANIF__vClose(slot);  // a second set-up replaces the socket instead of leaking it
    slot = fd;
    LOG_vInfo("CANIF: Init %s for \"%s\" successful SocketNum:%d Tx:0x%llX Rx:0x%llX", name, CANIF__pcChannel(), fd,
              static_cast<unsigned long long>(req_id), static_cast<unsigned long long>(resp_id));
    return true;
}

bool CANIF__boInitCyclicFuncSocket() {
    const CANIF_tstSys& sys = CANIF_stSys();
    CANIF__vClose(CANIF__iCanCyclicFuncSocket);
    const int fd = sys.socket(PF_CAN, SOCK_DGRAM, CAN_BCM);
    if (fd < 0) {
        std::perror("ERROR CANIF: Cyclic Func Setup Socket: ");
        return false;
    }
    struct ifreq ifr;
    CANIF__vCopyIfName(ifr);
    if (sys.ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        std::perror("ERROR CANIF: Cyclic Func Setup SIOCGIFINDEX: ");
        sys.close(fd);
        return false;
    }
    struct sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (sys.connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0) {
        std::perror("ERROR CANIF: Cyclic Func Setup Connect: ");
        sys.close(fd);
        return false;
    }
    CANIF__iCanCyclicFuncSocket = fd;
    LOG_vInfo("CANIF: Func Cyclic Init for \"%s\" successful SocketNum:%d", CANIF__pcChannel(), fd);
    return true;
}

bool CANIF_boInit() {
    CANIF_acCanChannel = CFG_pcGetCanChannel();
    const bool cyclic = CFG_boTesterPresentEnabled() ? CANIF__boInitCyclicFuncSocket() : true;
    const bool func = CANIF__boInitSocket(IF_SOCKET_FUNC);
    const bool phy = CANIF__boInitSocket(IF_SOCKET_PHY);
    return func && phy ? cyclic : false;
}

void CANIF_vDeinit() {
    CANIF__vClose(CANIF__iCanPhySocket);
    CANIF__vClose(CANIF__iCanFuncSocket);
    CANIF__vClose(CANIF__iCanCyclicFuncSocket);  // also ends the kernel's periodic job
}

bool CANIF_boSendUDS(IF_tenSocketType addressing, uint8_t* data, uint32_t length) {
    const bool func = addressing == IF_SOCKET_FUNC;
    const char* name = func ? "Func" : "Phy";
    const int fd = func ? CANIF__iCanFuncSocket : CANIF__iCanPhySocket;
    if (fd == -1) {
        LOG_vError("CANIF: TX %s Socket not open", name);
        return false;
    }
    const ssize_t sent = CANIF_stSys().write(fd, data, length);
    if (sent != static_cast<ssize_t>(length)) {
        LOG_vError("CANIF: TX %s Send:%d Requested:%d", name, static_cast<int>(sent), static_cast<int>(length));
        return false;
    }
    return true;
}

int CANIF_iReceive(uint8_t /*sid*/, uint8_t* buffer, uint32_t capacity, int timeout_ms) {
    if (CANIF__iCanPhySocket == -1) {
        LOG_vError("CANIF: RX Phy Socket not open");
        return 0;
    }
    const int ready = CANIF__iWaitReadable(CANIF__iCanPhySocket, timeout_ms);
    if (ready < 0) return 0;
    if (ready == 0) {
        LOG_vError("CANIF: RX Phy Socket Timeout");
        return 0;
    }
    return static_cast<int>(CANIF_stSys().read(CANIF__iCanPhySocket, buffer, capacity));
}

void CANIF_vClearRxBuffer() {
    if (CANIF__iCanPhySocket == -1) {
        LOG_vError("CANIF: RX Phy Socket not open");
        return;
    }
    uint8_t stale[4096];
    for (;;) {
        const int ready = CANIF__iWaitReadable(CANIF__iCanPhySocket, 0);
        if (ready < 0) return;
        if (ready == 0) {
            LOG_vError("CANIF: RX Phy Socket Timeout");
            return;
        }
        // A failed read ends the drain as an empty one does: it would show no service id.
        const ssize_t n = CANIF_stSys().read(CANIF__iCanPhySocket, stale, sizeof stale);
        if (n <= 0) return;
        LOG_vInfo("CANIF: Ignoring SID 0x%02X", stale[0]);
    }
}

bool CANIF_boStartCyclicMessage(uint32_t period_ms, uint64_t can_id, uint8_t* data, uint32_t length) {
    if (CANIF__iCanCyclicFuncSocket == -1) {
        LOG_vError("CANIF: Cyclic Start Socket not open");
        return false;
    }
    if (!CANIF__boValidId(can_id)) return false;
    const canid_t id = CANIF__u32KernelId(can_id);

    // The head's trailing flexible array rules out a struct of head and frame in C++, so the
    // message is laid out in an aligned byte buffer: the head, then one classic CAN frame.
    struct bcm_msg_head head;
    std::memset(&head, 0, sizeof head);
    head.opcode = TX_SETUP;
    head.flags = SETTIMER | STARTTIMER | TX_CP_CAN_ID;
    head.count = 0;
    head.ival2.tv_sec = period_ms / 1000;
    head.ival2.tv_usec = (period_ms % 1000) * 1000;
    head.can_id = id;
    head.nframes = 1;
    struct can_frame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.can_id = id;
    frame.can_dlc = CAN_MAX_DLEN;
    std::memset(frame.data, CFG_u8GetCanPaddingByte(), CAN_MAX_DLEN);
    if (data != nullptr) std::memcpy(frame.data, data, std::min<uint32_t>(length, CAN_MAX_DLEN));
    alignas(struct bcm_msg_head) unsigned char message[sizeof head + sizeof frame];
    std::memcpy(message, &head, sizeof head);
    std::memcpy(message + sizeof head, &frame, sizeof frame);

    if (CANIF_stSys().write(CANIF__iCanCyclicFuncSocket, message, sizeof message) != static_cast<ssize_t>(sizeof message)) {
        LOG_vError("CANIF: Cyclic Start Failed");
        return false;
    }
    LOG_vInfo("CANIF: Cyclic (%d s %d us) Start Tx ID:0x%llX", static_cast<int>(head.ival2.tv_sec),
              static_cast<int>(head.ival2.tv_usec), static_cast<unsigned long long>(can_id));
    return true;
}

bool CANIF_boStopCyclicMessage(uint64_t can_id) {
    if (CANIF__iCanCyclicFuncSocket == -1) {
        LOG_vError("CANIF: Cyclic Stop Socket not open");
        return false;
    }
    if (!CANIF__boValidId(can_id)) return false;
    struct bcm_msg_head head;
    std::memset(&head, 0, sizeof head);
    head.opcode = TX_DELETE;
    head.can_id = CANIF__u32KernelId(can_id);
    head.nframes = 0;
    if (CANIF_stSys().write(CANIF__iCanCyclicFuncSocket, &head, sizeof head) != static_cast<ssize_t>(sizeof head)) {
        LOG_vError("CANIF: Cyclic Stop Failed");
        return false;
    }
    LOG_vInfo("CANIF: Cyclic Stop");
    return true;
}

bool CANIF_boStartTesterPresentCyclicFunc(uint8_t* frame, uint32_t length) {
    return CANIF_boStartCyclicMessage(static_cast<uint32_t>(CFG_i32GetTesterPresentCycleTimeMSec()),
                                      CFG_u64GetTesterFuncReqId(), frame, length);
}

bool CANIF_boStopTesterPresentCyclicFunc() { return CANIF_boStopCyclicMessage(CFG_u64GetTesterFuncReqId()); }

bool CANIF_boStartStream() { return true; }

CANIF__tstSockets CANIF__stGetSockets() {
    return {CANIF__iCanPhySocket, CANIF__iCanFuncSocket, CANIF__iCanCyclicFuncSocket};
}

void CANIF__vResetForTest() {
    CANIF__iCanPhySocket = -1;
    CANIF__iCanFuncSocket = -1;
    CANIF__iCanCyclicFuncSocket = -1;
    CANIF_acCanChannel = nullptr;
}
