// The ECU model through the in-process front-end: a correct VW 80126 programming sequence,
// the strictness rules with their negative response codes, consistency after resets, and the
// model-level fault injection.
#include <gtest/gtest.h>

#include "sim/image_header.h"
#include "sim_test_util.h"

using namespace simtest;

namespace {

Bytes image(int block, const std::string& bv, const std::string& sw, size_t size, uint8_t salt) {
    Bytes d = ecusim::makeImageHeader(block, bv, sw);
    while (d.size() < size) d.push_back(uint8_t(d.size() * 13 + salt));
    return d;
}

const uint32_t kDriver = 0x20000000, kB0 = 0x00080000, kB1 = 0x00090000;

}  // namespace

TEST(SimEcuModel, CorrectProgrammingSequenceSucceeds) {
    Ecu ecu;
    const Bytes driver(2048, 0x5A);
    const Bytes b0 = image(0, "0002", "0221", 10000, 1);  // three TransferData blocks
    const Bytes b1 = image(1, "0002", "0221", 300, 2);

    // Identifications in the default session.
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0x87})), hex(cat({0x62, 0xF1, 0x87}, text("5G0920861A"))));
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0x89})), hex(cat({0x62, 0xF1, 0x89}, text("0220"))));
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0x91})), hex(cat({0x62, 0xF1, 0x91}, text("5G0920861"))));
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0xA3})), hex(cat({0x62, 0xF1, 0xA3}, text("H03"))));
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0xD5})), "62F1D5000001234520");
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0xDF})), "62F1DF40");
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0xAB})), hex(cat({0x62, 0xF1, 0xAB}, text("00010001"))));
    EXPECT_EQ(ecu.req({0x22, 0xF1, 0x5B}).size(), 3u + 20u);

    // Pre-programming steps in the extended session.
    EXPECT_EQ(hex(ecu.req({0x10, 0x03})), "5003003201F4");
    EXPECT_EQ(hex(ecu.req({0x2E, 0xF1, 0x99, 0x26, 0x12, 0x11})), "6EF199");
    EXPECT_EQ(hex(ecu.req(cat({0x2E, 0xF1, 0x98}, text("KSTEST")))), "6EF198");
    EXPECT_EQ(hex(ecu.req({0x31, 0x01, 0x02, 0x03})), "71010203");
    EXPECT_TRUE(ecu.all({0x85, 0x82, 0xFF, 0xFF, 0xFF}, true).empty());
    EXPECT_TRUE(ecu.all({0x28, 0x81, 0x01}, true).empty());

    // Programming session, unlock, fingerprint.
    EXPECT_EQ(hex(ecu.req({0x10, 0x02})), "5002003201F4");
    ecu.unlock();
    const Bytes fp = cat({0x26, 0x12, 0x11}, text("KSTEST"));
    EXPECT_EQ(hex(ecu.req(cat({0x2E, 0xF1, 0x5A}, fp))), "6EF15A");

    // Driver into RAM (no erase), then the two logical blocks.
    ecu.download(kDriver, driver);
    EXPECT_EQ(hex(ecu.req(checkMemory(kDriver, driver))), "7101020200");
    EXPECT_EQ(hex(ecu.req(erase(kB0, 0x10000))), "7101FF0000");
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0xDF})), "62F1DF44");  // inconsistent while programming
    ecu.download(kB0, b0);
    EXPECT_EQ(hex(ecu.req(checkMemory(kB0, b0))), "7101020200");
    EXPECT_EQ(hex(ecu.req(erase(kB1, 300))), "7101FF0000");
    ecu.download(kB1, b1);
    EXPECT_EQ(hex(ecu.req(checkMemory(kB1, b1))), "7101020200");

    // Update execution with progress polling, dependencies, reset.
    EXPECT_EQ(hex(ecu.req({0x31, 0x01, 0xC0, 0x10, 0x00, 0x01, 0xFF})), "7101C010");
    EXPECT_EQ(hex(ecu.req({0x31, 0x03, 0xC0, 0x10})), "7103C0100121");
    EXPECT_EQ(hex(ecu.req({0x31, 0x03, 0xC0, 0x10})), "7103C0100142");
    EXPECT_EQ(hex(ecu.req({0x31, 0x03, 0xC0, 0x10})), "7103C01024");
    EXPECT_EQ(hex(ecu.req({0x31, 0x01, 0xFF, 0x01})), "7101FF0100");
    EXPECT_EQ(hex(ecu.req({0x11, 0x01})), "5101");

    // After the reset: new software, block versions, fingerprints, consistent, locked.
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0x89})), hex(cat({0x62, 0xF1, 0x89}, text("0221"))));
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0xAB})), hex(cat({0x62, 0xF1, 0xAB}, text("00020002"))));
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0x5B})), hex(cat(cat(cat({0x62, 0xF1, 0x5B}, fp), cat({0x00}, fp)), {0x00})));
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0xDF})), "62F1DF40");
    EXPECT_EQ(ecusim::InProcess::model().session(), 0x01);
    EXPECT_FALSE(ecusim::InProcess::model().unlocked());
    EXPECT_EQ(hex(ecu.req({0x2E, 0xF1, 0x99, 0x26, 0x12, 0x11})), "6EF199");

    const ecusim::Report r = ecusim::InProcess::model().report();
    EXPECT_TRUE(r.violations.empty()) << r.violations[0].reason;
    ASSERT_EQ(r.downloads.size(), 3u);
    EXPECT_EQ(r.downloads[0].sha256, ecusim::toHex(ecusim::Sha256::of(driver)));
    EXPECT_EQ(r.downloads[1].sha256, ecusim::toHex(ecusim::Sha256::of(b0)));
    EXPECT_EQ(r.downloads[2].sha256, ecusim::toHex(ecusim::Sha256::of(b1)));
    EXPECT_EQ(r.downloads[1].received, 10000u);
    for (const auto& d : r.downloads) EXPECT_EQ(d.check, "ok");
    ASSERT_EQ(r.erased.size(), 2u);
    EXPECT_EQ(r.erased[0].address, kB0);
    EXPECT_EQ(r.erased[0].size, 0x10000u);
    ASSERT_EQ(r.writes.size(), 4u);
    EXPECT_EQ(r.writes[2].did, 0xF15A);
    EXPECT_EQ(r.resets, 1);
}

namespace {

// How far the ECU is driven with correct requests before the request under test.
enum class Stage { Default, Extended, Locked, Unlocked, Fingerprinted, Erased, Downloading, Downloaded };

void driveTo(Ecu& ecu, Stage s, const Bytes& data) {
    if (s == Stage::Default) return;
    ASSERT_EQ(hex(ecu.req({0x10, 0x03})).substr(0, 4), "5003");
    if (s == Stage::Extended) return;
    ASSERT_EQ(hex(ecu.req({0x10, 0x02})).substr(0, 4), "5002");
    if (s == Stage::Locked) return;
    ecu.unlock();
    if (s == Stage::Unlocked) return;
    ASSERT_EQ(hex(ecu.req(cat({0x2E, 0xF1, 0x5A}, Bytes(9, 0x11)))), "6EF15A");
    if (s == Stage::Fingerprinted) return;
    ASSERT_EQ(hex(ecu.req(erase(kB0, 0x1000))), "7101FF0000");
    if (s == Stage::Erased) return;
    ASSERT_EQ(hex(ecu.req(cat(cat({0x34, 0x00, 0x44}, be32(kB0)), be32(uint32_t(data.size()))))), "74200FFF");
    if (s == Stage::Downloading) return;
    ASSERT_EQ(hex(ecu.req(cat({0x36, 0x01}, data))), "7601");
    ASSERT_EQ(hex(ecu.req({0x37})), "77");
}

}  // namespace

TEST(SimEcuModel, StrictnessRulesGiveTheirNrc) {
    const Bytes data(32, 0xA5);
    const Bytes download = cat(cat({0x34, 0x00, 0x44}, be32(kB0)), be32(32));
    Bytes wrongSig = checkMemory(kB0, data);
    wrongSig.back() ^= 0x01;
    struct Case {
        const char* rule;
        Stage stage;
        std::vector<Bytes> before;  // sent first, answers not checked
        Bytes request;
        const char* answer;  // hex, "" for none
        bool functional = false;
    } cases[] = {
        {"unknown service", Stage::Default, {}, {0x23, 0x00}, "7F2311"},
        {"unknown service, functional: silent", Stage::Default, {}, {0x23, 0x00}, "", true},
        {"unknown data identifier", Stage::Default, {}, {0x22, 0xF1, 0x00}, "7F2231"},
        {"read with a short request", Stage::Default, {}, {0x22, 0xF1}, "7F2213"},
        {"unknown session", Stage::Default, {}, {0x10, 0x05}, "7F1012"},
        {"programming session straight from default", Stage::Default, {}, {0x10, 0x02}, "7F107E"},
        {"download in the default session", Stage::Default, {}, download, "7F347F"},
        {"security access in the default session", Stage::Default, {}, {0x27, 0x11}, "7F277F"},
        {"routine in the default session", Stage::Default, {}, erase(kB0, 0x1000), "7F317F"},
        {"communication control in the default session", Stage::Default, {}, {0x28, 0x01, 0x01}, "7F287F"},
        {"security access in the extended session", Stage::Extended, {}, {0x27, 0x11}, "7F277E"},
        {"erase in the extended session", Stage::Extended, {}, erase(kB0, 0x1000), "7F3131"},
        {"download while locked", Stage::Locked, {}, download, "7F3433"},
        {"erase while locked", Stage::Locked, {}, erase(kB0, 0x1000), "7F3133"},
        {"fingerprint while locked", Stage::Locked, {}, cat({0x2E, 0xF1, 0x5A}, Bytes(9, 0x11)), "7F2E33"},
        {"key without seed", Stage::Locked, {}, {0x27, 0x12, 1, 2, 3, 4}, "7F2724"},
        {"wrong key", Stage::Locked, {{0x27, 0x11}}, {0x27, 0x12, 0, 0, 0, 0}, "7F2735"},
        {"third wrong key", Stage::Locked,
         {{0x27, 0x11}, {0x27, 0x12, 0, 0, 0, 0}, {0x27, 0x11}, {0x27, 0x12, 0, 0, 0, 0}, {0x27, 0x11}},
         {0x27, 0x12, 0, 0, 0, 0}, "7F2736"},
        {"seed after too many wrong keys", Stage::Locked,
         {{0x27, 0x11}, {0x27, 0x12, 0, 0, 0, 0}, {0x27, 0x11}, {0x27, 0x12, 0, 0, 0, 0}, {0x27, 0x11},
          {0x27, 0x12, 0, 0, 0, 0}},
         {0x27, 0x11}, "7F2737"},
        {"erase before the fingerprint", Stage::Unlocked, {}, erase(kB0, 0x1000), "7F3122"},
        {"download into flash not erased", Stage::Fingerprinted, {}, download, "7F3470"},
        {"download beyond the erased region", Stage::Erased, {},
         cat(cat({0x34, 0x00, 0x44}, be32(kB0)), be32(0x1001)), "7F3470"},
        {"transfer without a download", Stage::Erased, {}, cat({0x36, 0x01}, data), "7F3624"},
        {"check memory without a download", Stage::Erased, {}, checkMemory(kB0, data), "7F3124"},
        {"wrong block sequence counter", Stage::Downloading, {}, cat({0x36, 0x02}, data), "7F3673"},
        {"more data than requested", Stage::Downloading, {}, cat({0x36, 0x01}, Bytes(33, 0)), "7F3671"},
        {"block longer than maxNumberOfBlockLength", Stage::Downloading, {}, cat({0x36, 0x01}, Bytes(4094, 0)), "7F3613"},
        {"transfer exit before all data", Stage::Downloading, {{0x36, 0x01, 0x00}}, {0x37}, "7F3724"},
        {"second download into written flash", Stage::Downloaded, {}, download, "7F3470"},
        {"check memory with a wrong signature", Stage::Downloaded, {}, wrongSig, "7101020201"},
        {"routine results without a start", Stage::Downloaded, {}, {0x31, 0x03, 0xC0, 0x10}, "7F3124"},
        {"dependencies with an unverified block", Stage::Downloaded, {}, {0x31, 0x01, 0xFF, 0x01}, "7101FF0101"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        Ecu ecu;
        driveTo(ecu, c.stage, data);
        for (const Bytes& b : c.before) ecu.all(b);
        const std::vector<Bytes> answers = ecu.all(c.request, c.functional);
        EXPECT_EQ(answers.empty() ? std::string() : hex(answers.back()), c.answer);
        EXPECT_LE(answers.size(), 1u);
        if (std::string(c.answer).rfind("7F", 0) == 0) {
            EXPECT_FALSE(ecusim::InProcess::model().report().violations.empty());
        }
    }
}

TEST(SimEcuModel, RepeatedBlockCounterIsAcceptedOnce) {
    Ecu ecu;
    const Bytes data(20, 0x42);
    driveTo(ecu, Stage::Downloading, data);
    EXPECT_EQ(hex(ecu.req(cat({0x36, 0x01}, Bytes(10, 0x42)))), "7601");
    EXPECT_EQ(hex(ecu.req(cat({0x36, 0x01}, Bytes(10, 0x42)))), "7601");  // repeat: not stored again
    EXPECT_EQ(hex(ecu.req(cat({0x36, 0x02}, Bytes(10, 0x42)))), "7602");
    EXPECT_EQ(hex(ecu.req({0x37})), "77");
    EXPECT_EQ(hex(ecu.req(checkMemory(kB0, data))), "7101020200");
}

TEST(SimEcuModel, IncompleteProgrammingLeavesTheEcuInconsistent) {
    struct Case {
        const char* what;
        bool checkFirstBlock;
        bool dependencies;
    } cases[] = {{"reset right after the erase", false, false}, {"reset without the dependency check", true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Ecu ecu;
        const Bytes b0 = image(0, "0002", "0221", 64, 3);
        driveTo(ecu, Stage::Fingerprinted, b0);
        ASSERT_EQ(hex(ecu.req(erase(kB0, 0x1000))), "7101FF0000");
        if (c.checkFirstBlock) {
            ecu.download(kB0, b0);
            EXPECT_EQ(hex(ecu.req(checkMemory(kB0, b0))), "7101020200");
        }
        EXPECT_EQ(hex(ecu.req({0x11, 0x01})), "5101");
        EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0xDF})), "62F1DF44");
        EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0x89})), hex(cat({0x62, 0xF1, 0x89}, text("0220"))));
    }
}

TEST(SimEcuModel, DroppedConnectionAbortsTheDownload) {
    Ecu ecu;
    const Bytes data(20, 0x42);
    driveTo(ecu, Stage::Downloading, data);
    EXPECT_EQ(hex(ecu.req(cat({0x36, 0x01}, Bytes(10, 0x42)))), "7601");
    ecusim::InProcess::model().connectionLost();
    EXPECT_EQ(hex(ecu.req(cat({0x36, 0x02}, Bytes(10, 0x42)))), "7F3624");
    EXPECT_EQ(hex(ecu.req({0x31, 0x01, 0xFF, 0x01})), "7101FF0101");
    EXPECT_EQ(hex(ecu.req({0x11, 0x01})), "5101");
    EXPECT_EQ(hex(ecu.req({0x22, 0xF1, 0xDF})), "62F1DF44");
    EXPECT_EQ(ecusim::InProcess::model().report().connectionsLost, 1);
}

TEST(SimEcuModel, DroppedConnectionLeavesTheDownloadOpenWhenConfigured) {
    ecusim::EcuConfig cfg;
    cfg.keepDownloadOnDisconnect = true;
    Ecu ecu(cfg);
    const Bytes data(20, 0x42);
    driveTo(ecu, Stage::Downloading, data);
    EXPECT_EQ(hex(ecu.req(cat({0x36, 0x01}, Bytes(10, 0x42)))), "7601");
    ecusim::InProcess::model().connectionLost();
    EXPECT_EQ(hex(ecu.req(cat({0x36, 0x02}, Bytes(10, 0x42)))), "7602");
    EXPECT_EQ(hex(ecu.req({0x37})), "77");
}

TEST(SimEcuModel, PendingAndBusyAnswersAreInjected) {
    ecusim::EcuConfig cfg;
    cfg.faults.pendingCount = 2;
    cfg.faults.pendingSid = 0x22;
    cfg.faults.busyCount = 2;
    cfg.faults.busySid = 0x10;
    Ecu ecu(cfg);
    const std::vector<Bytes> read = ecu.all({0x22, 0xF1, 0x89});
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(hex(read[0]), "7F2278");
    EXPECT_EQ(hex(read[1]), "7F2278");
    EXPECT_EQ(hex(read[2]), hex(cat({0x62, 0xF1, 0x89}, text("0220"))));
    EXPECT_EQ(hex(ecu.req({0x10, 0x03})), "7F1021");
    EXPECT_EQ(hex(ecu.req({0x10, 0x03})), "7F1021");
    EXPECT_EQ(hex(ecu.req({0x10, 0x03})), "5003003201F4");
    EXPECT_EQ(hex(ecu.req({0x3E, 0x00})), "7E00");
    EXPECT_TRUE(ecu.all({0x3E, 0x80}, true).empty());
}

TEST(SimEcuModel, RefusedKeyFault) {
    ecusim::EcuConfig cfg;
    cfg.faults.refuseKey = true;
    Ecu ecu(cfg);
    driveTo(ecu, Stage::Locked, {});
    const Bytes seed = ecu.req({0x27, 0x11});
    ASSERT_EQ(seed.size(), 6u);
    const uint32_t s = uint32_t(seed[2]) << 24 | uint32_t(seed[3]) << 16 | uint32_t(seed[4]) << 8 | seed[5];
    EXPECT_EQ(hex(ecu.req(cat({0x27, 0x12}, be32(ecusim::sa2Compute(s, ecusim::defaultSa2Program()).key)))), "7F2735");
}

TEST(SimEcuModel, SignatureOnlyCheckMemoryForm) {
    Ecu ecu;
    const Bytes data(32, 0x17);
    driveTo(ecu, Stage::Downloaded, data);
    const auto d = ecusim::Sha256::of(data);
    EXPECT_EQ(hex(ecu.req(cat({0x31, 0x01, 0x02, 0x02}, Bytes(d.begin(), d.end())))), "7101020200");
}

TEST(SimEcuModel, AnswerDelayIsWaitedForInProcess) {
    ecusim::EcuConfig cfg;
    cfg.faults.answerDelayMs = 150;
    Ecu ecu(cfg);
    Bytes rq{0x22, 0xF1, 0x89};
    ASSERT_TRUE(ecu.transport()->boSendUDS(IF_SOCKET_PHY, rq.data(), 3));
    uint8_t buf[64];
    EXPECT_EQ(ecu.transport()->iReceive(0x22, buf, sizeof buf, 100), 0);  // not within 100 ms
    EXPECT_EQ(ecu.transport()->iReceive(0x22, buf, sizeof buf, 100), 7);  // the remaining 50 ms
    EXPECT_EQ(hex(Bytes(buf, buf + 3)), "62F189");
}
