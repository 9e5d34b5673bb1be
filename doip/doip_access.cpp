// The flasher's channel instance and its access functions, the trial connections and the
// hook runners.
#include <stdexcept>

#include "doip/doip_internal.h"
#include "flasher/cfg.h"
#include "logging/log.h"

std::unique_ptr<doip::DoipChannel> doipChannel;
std::mutex g_doipRead;
std::mutex g_doipWrite;
std::atomic<bool> DOIPIF__boStopping{false};

namespace {

bool DoipChannel__ConnectHook() {
    const char* hook = CFG_pcGetConnectHook();
    if (hook == nullptr || hook[0] == '\0') return true;
    return DOIP_RunConnectHook();
}

// The TCP options of the flasher's channel.
sockets::SocketOptions ChannelOptions() {
    sockets::SocketOptions options;
    options.targetIp = CFG_pcGetTargetIP();
    options.targetPort = CFG_u16GetTargetPort();
    return options;
}

}  // namespace

namespace doip {

DoipMessage DoipChannel_ReceiveDoip(int timeoutMs) {
    std::lock_guard<std::mutex> guard(g_doipRead);
    if (!doipChannel) throw std::runtime_error("DoipChannel: no channel");
    return doipChannel->ReceiveDoip(timeoutMs);
}

void DoipChannel_SendAlive() {
    std::lock_guard<std::mutex> guard(g_doipWrite);
    try {
        if (!doipChannel) throw std::runtime_error("DoipChannel: no channel");
        doipChannel->SendAlive();
    } catch (const std::runtime_error& error) {
        LOG_vError("DoipChannel_SendAlive: error.what() %s", error.what());
    }
}

}  // namespace doip

bool DoipChannel__Reopen() {
    std::unique_ptr<doip::DoipChannel> channel(
        new doip::DoipChannel(CFG_u16GetDoIPSrcAddress(), &DoipChannel__ConnectHook));
    channel->setRestoreWindow(&CFG_iP2ExtClientMs);
    channel->setRetryDelay(CFG_u32GetRoutingActivationRetryDelay());
    channel->setKeepGoing([] { return !DOIPIF__boStopping.load(); });
    if (!channel->Open(ChannelOptions())) return false;
    {
        std::scoped_lock both(g_doipRead, g_doipWrite);
        doipChannel.swap(channel);
    }
    return true;  // the previous channel (now in `channel`) is shut down here, outside the locks
}

bool DOIPIF__boTryCluster() {
    doip::DoipChannel trial(CFG_u16GetDoIPSrcAddress(), nullptr);
    return trial.Open(ChannelOptions());
}

bool DOIP__boTestDatagram() {
    sockets::SocketOptions options;
    options.targetIp = CFG_pcGetTargetIP();
    options.sourceIp = CFG_pcGetSourceIP();
    options.targetPort = CFG_u16GetTargetPort();
    options.sourcePort = CFG_u16GetTargetPort();
    options.bindSource = true;
    UdpSocket udp;
    const bool ok = udp.open(options);
    udp.close();
    return ok;
}

bool DOIP_RunConnectHook() { return doip::RunHook(CFG_pcGetConnectHook(), CFG_pcGetTargetIP()) == 0; }

bool DOIP_RunDisconnectHook() {
    const char* hook = CFG_pcGetDisconnectHook();
    if (hook == nullptr || hook[0] == '\0') return true;
    return doip::RunHook(hook, CFG_pcGetTargetIP()) == 0;
}
