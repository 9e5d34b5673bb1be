// A channel double for the tool's UDS exchange: records what is sent and answers each wait
// with the next scripted response, or with a timeout.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <vector>

#include "sockets/tcp_socket.h"

struct ScriptedChannel {
    using Bytes = std::vector<uint8_t>;

    std::deque<std::optional<Bytes>> answers;  // nullopt: the wait times out
    std::optional<Bytes> afterScript;          // answer of every wait once the script is used up
    bool failSend = false;

    std::vector<Bytes> sent;
    std::vector<uint16_t> targets;
    std::vector<int> waits;

    void SendDiagMessage(const Bytes& data, uint16_t target) {
        if (failSend) throw std::runtime_error("TCP socket write() failed");
        sent.push_back(data);
        targets.push_back(target);
    }

    Bytes ReceiveDiagMessage(int timeoutMs) {
        waits.push_back(timeoutMs);
        std::optional<Bytes> answer = afterScript;
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        if (!answer) throw TcpTimeout(timeoutMs);
        return *answer;
    }
};
