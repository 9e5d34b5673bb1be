// Flash transfer routines: RequestDownload encoding and answer handling, block splitting,
// file downloads, erase, check memory, update execution, programming checks, ECU wait.
#include "uds_fixture.h"

using namespace udstest;

namespace {

// Answers TransferData with its counter and records each block's counter and size.
struct BlockRecorder {
    std::vector<std::pair<uint8_t, size_t>> blocks;
    Bytes data;
    bool exitSeen = false;
    std::function<Bytes(IF_tenSocketType, const Bytes&)> Responder() {
        return [this](IF_tenSocketType, const Bytes& req) -> Bytes {
            if (req[0] == 0x36) {
                blocks.emplace_back(req[1], req.size() - 2);
                data.insert(data.end(), req.begin() + 2, req.end());
                return {0x76, req[1]};
            }
            if (req == Bytes{0x37}) {
                exitSeen = true;
                return {0x77};
            }
            return {};
        };
    }
};

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return b;
}

}  // namespace

TEST_F(UdsTest, RequestDownloadEncodingsAndRefusals) {
    const Bytes data = Pattern(16);
    struct Case {
        uint8_t alfid;
        const char* request;  // nullptr: refused before sending
        const char* line;
    } cases[] = {
        {0x44, "34 00 44 00 08 00 00 00 01 F0 00", "UDS: TDB Address:0x00080000 Size:16"},
        {0x04, "34 00 04 00 08 00 00", nullptr},
        {0x22, "34 00 22 00 00 F0 00", nullptr},
        {0x05, nullptr, "UDS: TDB Failed - Invalid MemoryAddress Length 0x05"},
        {0x54, nullptr, "UDS: TDB Failed - Invalid UnCompressedMemorySize Length 0x05"},
    };
    for (const auto& c : cases) {
        if (c.request != nullptr) tr.ExpectPhy(H(c.request), {{H("74 20 00 12")}});
        BlockRecorder rec;
        tr.responder = rec.Responder();
        EXPECT_EQ(UDS_boDoTransferDataBlock(c.alfid, 0x00, 0x80000, 0x1F000, false, data.data(), 16),
                  c.request != nullptr)
            << int(c.alfid);
        if (c.line) {
            EXPECT_TRUE(Has(c.line)) << c.line;
        }
        if (c.request) {
            EXPECT_EQ(rec.data, data);
            EXPECT_TRUE(rec.exitSeen);
        }
    }
    EXPECT_FALSE(UDS_boDoTransferDataBlock(0x44, 0, 0, 0, false, data.data(), 0));
    EXPECT_FALSE(UDS_boDoTransferDataBlock(0x44, 0, 0, 0, false, nullptr, 4));
    EXPECT_EQ(Count("UDS: TDB Invalid Parameter Data"), 2);
}

TEST_F(UdsTest, RequestDownloadAnswerDecidesBlockLength) {
    struct Case {
        bool eth;
        const char* answer;
        bool ok;
        size_t block;  // data bytes per TransferData
        const char* line;
    } cases[] = {
        {false, "74 20 0F FF", true, 4093, "UDS: TDB MaxBlockLength 4093 (0x00000FFD)"},
        {true, "74 20 0F FF", true, 4093, nullptr},
        {false, "74 20 10 02", true, 4094, nullptr},
        {false, "74 20 FF FF", true, 4094, nullptr},
        {true, "74 40 00 01 00 00", true, 65533, nullptr},
        {false, "74 20 0F", false, 0, "UDS: TDB Invalid LengthFormatIdentifier received 0x20"},
        {false, "74 20 0F FF 00", false, 0, "UDS: TDB Invalid LengthFormatIdentifier received 0x20"},
        {false, "74 10 02", false, 0, "UDS: TDB Max Block Length is Zero"},
        {false, "74 00", false, 0, "UDS: TDB Max Block Length is Zero"},
        // A parameter part beyond the 12-byte area is refused, not cut.
        {false, "74 C0 00 00 00 00 00 00 00 00 00 00 10 00", false, 0,
         "UDS: RD Answer of 13 Bytes does not fit the output buffer of 12 Bytes"},
        {false, "7F 34 70", false, 0, "UDS: TDB Request Download failed"},
    };
    const Bytes data = Pattern(70000);
    for (const auto& c : cases) {
        ASSERT_TRUE(Init(c.eth ? std::vector<std::string>{"--use_eth"} : std::vector<std::string>{}));
        tr.ExpectPhy(H("34 00 44 00 00 00 00 00 01 11 70"), {{H(c.answer)}});
        BlockRecorder rec;
        tr.responder = rec.Responder();
        EXPECT_EQ(UDS_boDoTransferDataBlock(0x44, 0x00, 0, 70000, false, data.data(), 70000), c.ok) << c.answer;
        if (c.ok) {
            ASSERT_FALSE(rec.blocks.empty());
            EXPECT_EQ(rec.blocks[0].second, c.block) << c.answer;
            EXPECT_EQ(rec.data, data);
        } else {
            EXPECT_TRUE(rec.blocks.empty());
            EXPECT_FALSE(rec.exitSeen);
        }
        if (c.line) {
            EXPECT_TRUE(Has(c.line)) << c.line;
        }
    }
}

TEST_F(UdsTest, BlocksSplitAndCountersWrap) {
    struct Case {
        uint32_t length;
        uint32_t block;
        std::vector<size_t> sizes;  // empty: only the count is checked
        size_t count;
    } cases[] = {
        {10000, 4093, {4093, 4093, 1814}, 3},
        {4093, 4093, {4093}, 1},
        {300 * 10, 10, {}, 300},
    };
    for (const auto& c : cases) {
        const Bytes data = Pattern(c.length);
        BlockRecorder rec;
        tr.responder = rec.Responder();
        EXPECT_TRUE(UDS_boTransferMemory(data.data(), c.length, c.block));
        ASSERT_EQ(rec.blocks.size(), c.count);
        for (size_t i = 0; i < c.sizes.size(); ++i) EXPECT_EQ(rec.blocks[i].second, c.sizes[i]);
        for (size_t i = 0; i < rec.blocks.size(); ++i) EXPECT_EQ(rec.blocks[i].first, (i + 1) % 256) << i;
        EXPECT_EQ(rec.data, data);
    }
    EXPECT_TRUE(Has("UDS: TDB Number of Blocks to Transmit: 300"));
    EXPECT_TRUE(Has("UDS TDB Transfered BlockNo:3/3 BlockSequenceCounter:3 Size:0x0716"));
    EXPECT_TRUE(Has("UDS TDB Transfered BlockNo:256/300 BlockSequenceCounter:0 Size:0x000A"));
}

TEST_F(UdsTest, FailedBlockStopsDownloadWithoutTransferExit) {
    const Bytes data = Pattern(30);
    tr.ExpectPhy(H("34 00 44 00 00 10 00 00 00 00 1E"), {{H("74 20 00 0C")}});
    Bytes first{0x36, 0x01};
    first.insert(first.end(), data.begin(), data.begin() + 10);
    tr.ExpectPhy(first, {{H("76 01")}});
    Bytes second{0x36, 0x02};
    second.insert(second.end(), data.begin() + 10, data.begin() + 20);
    tr.ExpectPhy(second, {{H("7F 36 72")}});
    EXPECT_FALSE(UDS_boDoTransferDataBlock(0x44, 0x00, 0x1000, 30, false, data.data(), 30));
    EXPECT_TRUE(Has("UDS: TDB Transfer Failed BlockNo:2/3 BlockSequenceCounter:2 Size:0x000A"));
    EXPECT_EQ(tr.sent.size(), 3u);  // no third block, no RequestTransferExit
}
