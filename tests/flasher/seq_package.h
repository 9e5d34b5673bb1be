// ODX-F documents for the sequencer tests: a driver block and logical blocks with inline
// data, signatures, block versions, expected identifications and, where a test needs it,
// a diagnostic layer that names a block version's byte position.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace seqtest {

struct PkgBlock {
    std::string version;         // empty: driver block (no version, no block number)
    uint32_t address = 0;
    std::vector<uint8_t> data;
    int layerBytePos = -1;       // >= 0: byte position given by the diagnostic layer
    uint32_t streamedSize = 0;   // > 0: data of this size (pattern i * 7 + 1) streamed into the file
};

struct Package {
    std::string sa2 = "87A5A5A5A54C";  // key = seed XOR A5A5A5A5
    std::vector<PkgBlock> blocks;
    std::vector<std::pair<std::string, std::vector<std::string>>> expectedIdents;
};

inline std::string hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[3];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X", v);
        s += b;
    }
    return s;
}

// Default: a driver in RAM and two logical blocks with the given versions.
inline Package standardPackage(const std::string& v0 = "0002", const std::string& v1 = "0002") {
    Package p;
    p.blocks.push_back({"", 0x20000000, {0xDE, 0xAD, 0xBE, 0xEF}});
    std::vector<uint8_t> app(5000);
    for (size_t i = 0; i < app.size(); ++i) app[i] = static_cast<uint8_t>(i * 7 + 1);
    p.blocks.push_back({v0, 0x00A10000, app});
    p.blocks.push_back({v1, 0x00A20000, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}});
    return p;
}

constexpr const char* kStreamMark = "@STREAMED-DATA@";

inline std::string odxText(const Package& p) {
    std::string refs, blocks, datas, identDescs;
    int logical = 0;
    for (size_t i = 0; i < p.blocks.size(); ++i) {
        const PkgBlock& b = p.blocks[i];
        const std::string id = "DB_" + std::to_string(i);
        const bool driver = b.version.empty();
        char addr[16];
        std::snprintf(addr, sizeof addr, "%08X", b.address);
        refs += "<DATABLOCK-REF ID-REF=\"" + id + "\"/>";
        blocks += "<DATABLOCK ID=\"" + id + "\" TYPE=\"" + (driver ? "DRIVER" : "FLASH_DATA") + "\">";
        blocks += "<SHORT-NAME>Block" + std::to_string(i) + "</SHORT-NAME>";
        blocks += "<FLASHDATA-REF ID-REF=\"FD_" + std::to_string(i) + "\"/>";
        blocks += "<SEGMENTS><SEGMENT><SOURCE-START-ADDRESS>" + std::string(addr) +
                  "</SOURCE-START-ADDRESS><UNCOMPRESSED-SIZE>" +
                  std::to_string(b.streamedSize ? b.streamedSize : b.data.size()) +
                  "</UNCOMPRESSED-SIZE></SEGMENT></SEGMENTS>";
        if (!driver) {
            const std::string name = "OI_VWLogicSoftwBlockVersi_" + std::to_string(logical);
            blocks += "<OWN-IDENTS><OWN-IDENT ID=\"OI_" + std::to_string(i) + "\"><SHORT-NAME>" + name +
                      "</SHORT-NAME><IDENT-VALUE TYPE=\"A_ASCIISTRING\">" + b.version +
                      "</IDENT-VALUE></OWN-IDENT></OWN-IDENTS>";
            if (b.layerBytePos >= 0) {
                identDescs += "<IDENT-DESC><DIAG-COMM-SNREF SHORT-NAME=\"DS_BlockVersions\"/><IDENT-IF-SNREF "
                              "SHORT-NAME=\"" +
                              name + "\"/><OUT-PARAM-IF-SNREF SHORT-NAME=\"P_" + name + "\"/></IDENT-DESC>";
            }
            ++logical;
        }
        blocks += "<SECURITYS><SECURITY><SECURITY-METHOD TYPE=\"A_ASCIISTRING\">SIGNATURE</SECURITY-METHOD>"
                  "<FW-SIGNATURE TYPE=\"A_BYTEFIELD\">" +
                  hex({uint8_t(0xA0 + i), 0x5A, 0x5A, uint8_t(i)}) + "</FW-SIGNATURE></SECURITY></SECURITYS>";
        blocks += "</DATABLOCK>";
        datas += "<FLASHDATA ID=\"FD_" + std::to_string(i) +
                 "\" xsi:type=\"INTERN-FLASHDATA\"><SHORT-NAME>FD</SHORT-NAME><DATAFORMAT SELECTION=\"BINARY\"/>"
                 "<ENCRYPT-COMPRESS-METHOD TYPE=\"A_BYTEFIELD\">00</ENCRYPT-COMPRESS-METHOD><DATA>" +
                 (b.streamedSize ? std::string(kStreamMark) : hex(b.data)) + "</DATA></FLASHDATA>";
    }
    std::string expected;
    if (!p.expectedIdents.empty()) {
        expected = "<EXPECTED-IDENTS>";
        for (const auto& e : p.expectedIdents) {
            expected += "<EXPECTED-IDENT ID=\"EM.S." + e.first + "\"><SHORT-NAME>" + e.first +
                        "</SHORT-NAME><IDENT-VALUES>";
            for (const auto& v : e.second) expected += "<IDENT-VALUE TYPE=\"A_ASCIISTRING\">" + v + "</IDENT-VALUE>";
            expected += "</IDENT-VALUES></EXPECTED-IDENT>";
        }
        expected += "</EXPECTED-IDENTS>";
    }
    std::string layers;
    if (!identDescs.empty()) {
        layers = "<IDENT-DESCS>" + identDescs +
                 "</IDENT-DESCS><LAYER-REFS><LAYER-REF DOCREF=\"EV_SeqLayer\" ID-REF=\"EV_SeqLayer_1\"/></LAYER-REFS>";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<ODX xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" MODEL-VERSION=\"2.0.1\"><FLASH ID=\"FL\">"
           "<SHORT-NAME>FL</SHORT-NAME><ECU-MEMS><ECU-MEM ID=\"EM\"><SHORT-NAME>EM</SHORT-NAME><MEM><SESSIONS>"
           "<SESSION ID=\"EM.S\"><SHORT-NAME>S</SHORT-NAME>" +
           expected +
           "<SECURITYS><SECURITY><SECURITY-METHOD TYPE=\"A_ASCIISTRING\">SA2</SECURITY-METHOD>"
           "<FW-SIGNATURE TYPE=\"A_BYTEFIELD\">" +
           p.sa2 + "</FW-SIGNATURE></SECURITY></SECURITYS><DATABLOCK-REFS>" + refs +
           "</DATABLOCK-REFS><SDGS><SDG><SD SI=\"ECU-MEM-SPEC-VERSION\">3.0.0</SD><SD "
           "SI=\"VW80126-VERSION\">1.0</SD><SD SI=\"Update-Execution\">Completely</SD></SDG></SDGS></SESSION>"
           "</SESSIONS><DATABLOCKS>" +
           blocks + "</DATABLOCKS><FLASHDATAS>" + datas +
           "</FLASHDATAS></MEM></ECU-MEM></ECU-MEMS><ECU-MEM-CONNECTORS><ECU-MEM-CONNECTOR ID=\"EMC\">"
           "<SHORT-NAME>EMC</SHORT-NAME><ECU-MEM-REF ID-REF=\"EM\"/><SESSION-DESCS><SESSION-DESC "
           "DIRECTION=\"DOWNLOAD\"><SHORT-NAME>SD</SHORT-NAME><SESSION-SNREF SHORT-NAME=\"S\"/></SESSION-DESC>"
           "</SESSION-DESCS>" +
           layers + "</ECU-MEM-CONNECTOR></ECU-MEM-CONNECTORS></FLASH></ODX>\n";
}

// The diagnostic layer for the blocks with a layer byte position.
inline std::string layerText(const Package& p) {
    std::string params;
    int logical = 0;
    for (const auto& b : p.blocks) {
        if (b.version.empty()) continue;
        if (b.layerBytePos >= 0) {
            params += "<PARAM><SHORT-NAME>P_OI_VWLogicSoftwBlockVersi_" + std::to_string(logical) +
                      "</SHORT-NAME><BYTE-POSITION>" + std::to_string(b.layerBytePos) + "</BYTE-POSITION></PARAM>";
        }
        ++logical;
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ODX MODEL-VERSION=\"2.0.1\"><DIAG-LAYER-CONTAINER "
           "ID=\"DLC\"><SHORT-NAME>EV_SeqLayer</SHORT-NAME><ECU-VARIANTS><ECU-VARIANT ID=\"EV_SeqLayer_1\">"
           "<SHORT-NAME>EV_SeqLayer_1</SHORT-NAME><DIAG-COMMS><DIAG-SERVICE ID=\"DS_BlockVersions\"><SHORT-NAME>"
           "DS_BlockVersions</SHORT-NAME><POS-RESPONSE-REFS><POS-RESPONSE-REF ID-REF=\"PR_BlockVersions\"/>"
           "</POS-RESPONSE-REFS></DIAG-SERVICE></DIAG-COMMS><POS-RESPONSES><POS-RESPONSE ID=\"PR_BlockVersions\">"
           "<SHORT-NAME>PR_BlockVersions</SHORT-NAME><PARAMS>" +
           params + "</PARAMS></POS-RESPONSE></POS-RESPONSES></ECU-VARIANT></ECU-VARIANTS></DIAG-LAYER-CONTAINER></ODX>\n";
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// Writes the document with the data of a streamed block generated chunk by chunk, so that
// no copy of the whole data is held in memory.
inline void writeStreamed(const std::string& path, const std::string& text, uint32_t size) {
    std::ofstream out(path, std::ios::binary);
    const auto mark = text.find(kStreamMark);
    out << text.substr(0, mark);
    std::vector<uint8_t> chunk;
    for (uint32_t done = 0; done < size;) {
        const uint32_t n = size - done < 65536 ? size - done : 65536;
        chunk.resize(n);
        for (uint32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>((done + i) * 7 + 1);
        out << hex(chunk);
        done += n;
    }
    out << text.substr(mark + std::string(kStreamMark).size());
}

// Writes the package as `name` into dir (and its layer file when it has one).
inline void writePackage(const std::string& dir, const std::string& name, const Package& p) {
    uint32_t streamed = 0;
    for (const auto& b : p.blocks) streamed = b.streamedSize ? b.streamedSize : streamed;
    if (streamed) {
        writeStreamed(dir + "/" + name, odxText(p), streamed);
    } else {
        writeText(dir + "/" + name, odxText(p));
    }
    for (const auto& b : p.blocks) {
        if (b.layerBytePos >= 0) {
            writeText(dir + "/EV_SeqLayer.odx", layerText(p));
            break;
        }
    }
}

}  // namespace seqtest
