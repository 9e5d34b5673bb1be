// Scripted transport and fixture for the UDS client's tests.
//
// The transport checks each request against a script (addressing and exact bytes) and plays
// back the scripted answers one per receive call; a missing answer is silence (receive
// returns 0 at once, so timeouts cost no time: the test checks the timeout the engine
// asked for). A responder function can answer instead of the script (long downloads).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "doip/wire/data2hex.h"
#include "flasher/cfg.h"
#include "logging/log.h"
#include "uds/uds.h"
#include "uds/uds_internal.h"

namespace udstest {

using Bytes = std::vector<uint8_t>;

// One answer: bytes after an optional delay; empty bytes = silence.
struct Reply {
    Bytes bytes;
    int delay_ms = 0;
};

// One expected request and the answers it gets.
struct Exchange {
    IF_tenSocketType addressing;
    Bytes request;
    std::vector<Reply> replies;
};

inline Bytes H(const char* hex) {
    Bytes out;
    unsigned v;
    int n;
    while (std::sscanf(hex, " %2x%n", &v, &n) == 1) {
        out.push_back(static_cast<uint8_t>(v));
        hex += n;
    }
    return out;
}

inline std::string Hex(const Bytes& b) {
    return data2hex::ArrayToHexString<data2hex::CharacterSeparator<' '>>(b.data(), b.size());
}

class ScriptTransport {
public:
    std::deque<Exchange> script;
    std::deque<Reply> pending;
    std::function<Bytes(IF_tenSocketType, const Bytes&)> responder;  // answers when no script
    std::vector<std::pair<IF_tenSocketType, Bytes>> sent;
    std::vector<int> timeouts;  // timeout of each receive call
    std::vector<std::string> faults;
    bool initOk = true;
    bool sendOk = true;
    int deinits = 0, clears = 0, streams = 0, tpStops = 0;
    Bytes tpFrame;

    static ScriptTransport*& Current() {
        static ScriptTransport* cur = nullptr;
        return cur;
    }

    static const UDS_tstTransport* Table() {
        static const UDS_tstTransport table = {
            [] { return Current()->initOk; },
            [] { ++Current()->deinits; },
            [](IF_tenSocketType a, uint8_t* d, uint32_t n) { return Current()->Send(a, d, n); },
            [](uint8_t sid, uint8_t* b, uint32_t cap, int t) { return Current()->Receive(sid, b, cap, t); },
            [] { ++Current()->clears; },
            [](uint8_t* f, uint32_t n) {
                Current()->tpFrame.assign(f, f + n);
                return true;
            },
            [] {
                ++Current()->tpStops;
                return true;
            },
            [] {
                ++Current()->streams;
                return true;
            },
        };
        return &table;
    }

    void Expect(IF_tenSocketType a, const Bytes& req, std::vector<Reply> replies) {
        script.push_back({a, req, std::move(replies)});
    }
    void ExpectPhy(const Bytes& req, std::vector<Reply> replies) { Expect(IF_SOCKET_PHY, req, std::move(replies)); }

    bool Send(IF_tenSocketType a, const uint8_t* d, uint32_t n) {
        Bytes req(d, d + n);
        sent.emplace_back(a, req);
        pending.clear();
        if (!sendOk) return false;
        if (!script.empty()) {
            Exchange ex = script.front();
            script.pop_front();
            if (ex.addressing != a || ex.request != req) {
                faults.push_back("expected " + std::to_string(ex.addressing) + ":" + Hex(ex.request) + " got " +
                                 std::to_string(a) + ":" + Hex(req));
            }
            pending.assign(ex.replies.begin(), ex.replies.end());
        } else if (responder) {
            Bytes ans = responder(a, req);
            if (!ans.empty()) pending.push_back({ans, 0});
        } else {
            faults.push_back("unscripted request " + Hex(req));
        }
        return true;
    }

    int Receive(uint8_t, uint8_t* buffer, uint32_t capacity, int timeout) {
        timeouts.push_back(timeout);
        if (pending.empty()) return 0;
        Reply r = pending.front();
        pending.pop_front();
        if (r.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.delay_ms));
        if (r.bytes.empty()) return 0;
        // A misbehaving transport: reports the whole length but places only what fits.
        std::memcpy(buffer, r.bytes.data(), r.bytes.size() < capacity ? r.bytes.size() : capacity);
        return static_cast<int>(r.bytes.size());
    }
};

// Fixture: configuration from an argv, the log in a temporary file, the scripted transport
// bound through the override, sleeps recorded instead of slept.
class UdsTest : public ::testing::Test {
protected:
    ScriptTransport tr;
    std::string logPath;
    static std::vector<uint32_t>& Sleeps() {
        static std::vector<uint32_t> s;
        return s;
    }

    void SetUp() override {
        static int counter = 0;
        logPath = ::testing::TempDir() + "uds_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter) +
                  ".log";
        ScriptTransport::Current() = &tr;
        Sleeps().clear();
        Init({});
    }

    // (Re)configures with the given options and initialises the engine over the script.
    bool Init(std::vector<std::string> args) {
        args.insert(args.begin(), {"kestrum_flasher", "--logfile", logPath});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        EXPECT_EQ(CFG_enInit(static_cast<int>(argv.size()), argv.data(), "test"), 0);
        LOG_SetVerbosity(1);
        UDS__vResetForTest();
        UDS_vSetTransportOverride(ScriptTransport::Table());
        UDS__vSetSleepHookForTest([](uint32_t ms) { Sleeps().push_back(ms); });
        return UDS_boInit();
    }

    void TearDown() override {
        EXPECT_TRUE(tr.script.empty()) << tr.script.size() << " scripted requests not sent";
        for (const auto& f : tr.faults) ADD_FAILURE() << f;
        UDS__vResetForTest();
        ScriptTransport::Current() = nullptr;
        LOG_SetFilename("");
        std::remove(logPath.c_str());
    }

    std::string Log() {
        LOG_vFlush();
        std::ifstream in(logPath);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    int Count(const std::string& text) {
        const std::string log = Log();
        int n = 0;
        for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) ++n;
        return n;
    }
    bool Has(const std::string& text) { return Count(text) > 0; }
};

}  // namespace udstest
