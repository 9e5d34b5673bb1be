// Command line of the send/receive tool.
#pragma once

#include <cstdint>
#include <string>

class Config {
public:
    // Parses the command line. Throws std::runtime_error when the program must stop: after help
    // or a parse error (empty message, the library has reported it) or when required options
    // are missing ("Config: Missing required option(s): ...", after the help text).
    static Config Create(int argc, const char* const* argv);

    uint16_t DiagSourceAddress() const { return diagSourceAddress; }
    uint16_t DiagTargetAddress() const { return diagTargetAddress; }
    const std::string& TargetIp() const { return targetIp; }
    uint16_t TargetPort() const { return targetPort; }
    uint16_t SourcePort() const { return sourcePort; }
    bool BindSourcePort() const { return bindSourcePort; }
    bool SendVir() const { return sendVir; }
    bool ListenVam() const { return listenVam; }
    int32_t Retries() const { return retries; }
    int32_t Timeout_s() const { return timeout_s; }
    bool UseTimeout() const { return timeout_s > 0; }
    uint32_t P3Client_ms() const { return p3Client_ms; }
    uint32_t P2Server_ms() const { return p2Server_ms; }
    uint32_t P2ExtServer_ms() const { return p2ExtServer_ms; }
    bool SuppressPositiveResponse() const { return suppressPositiveResponse; }
    const std::string& DisconnectHook() const { return disconnectHook; }
    bool Verbose() const { return verbose; }
    bool getVersion() const { return version; }

private:
    uint16_t diagSourceAddress = 0;
    uint16_t diagTargetAddress = 0;
    std::string targetIp;
    uint16_t targetPort = 13400;
    uint16_t sourcePort = 13400;
    bool bindSourcePort = false;
    bool sendVir = false;
    bool listenVam = false;
    int32_t retries = 1;
    int32_t timeout_s = -1;
    uint32_t p3Client_ms = 400;
    uint32_t p2Server_ms = 100;
    uint32_t p2ExtServer_ms = 6000;
    bool suppressPositiveResponse = false;
    std::string disconnectHook;
    bool verbose = false;
    bool version = false;
};
