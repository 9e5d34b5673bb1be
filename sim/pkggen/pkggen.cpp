#include "sim/pkggen/pkggen.h"

#include <zip.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "sim/image_header.h"
#include "sim/sa2.h"
#include "sim/sha256.h"

namespace fs = std::filesystem;

namespace ecusim {
namespace pkggen {
namespace {

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    const auto e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::string hex8(uint32_t v) {
    char t[16];
    snprintf(t, sizeof t, "%08X", v);
    return t;
}

std::string xmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// Deterministic block contents: the image header (logical blocks) then a xorshift stream.
class BlockData {
public:
    BlockData(uint32_t seed, int block, std::vector<uint8_t> header)
        : state_(seed * 2654435761u + static_cast<uint32_t>(block + 1) * 40503u + 1u), header_(std::move(header)) {
        if (state_ == 0) state_ = 1;
    }
    // Fills `out` with the next `n` bytes.
    void next(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i, ++pos_) {
            if (pos_ < header_.size()) {
                out[i] = header_[pos_];
                continue;
            }
            state_ ^= state_ << 13;
            state_ ^= state_ >> 17;
            state_ ^= state_ << 5;
            out[i] = static_cast<uint8_t>(state_ >> 11);
        }
    }

private:
    uint32_t state_;
    std::vector<uint8_t> header_;
    size_t pos_ = 0;
};

// Produces a block's bytes as hex text (for INTERN-FLASHDATA) and its digest.
std::string inlineHex(BlockData& data, uint32_t size, std::string& digest) {
    std::vector<uint8_t> bytes(size);
    data.next(bytes.data(), size);
    digest = toHex(Sha256::of(bytes));
    return toHex(bytes);
}

// Streams a block's bytes into a file and returns its digest.
std::string writeDataFile(BlockData& data, uint32_t size, const fs::path& path) {
    std::ofstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot write " + path.string());
    Sha256 h;
    std::vector<uint8_t> chunk(1 << 20);
    for (uint32_t left = size; left > 0;) {
        const uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(chunk.size()));
        data.next(chunk.data(), n);
        h.update(chunk.data(), n);
        f.write(reinterpret_cast<const char*>(chunk.data()), n);
        left -= n;
    }
    if (!f.flush()) throw std::runtime_error("cannot write " + path.string());
    return toHex(h.finish());
}

void addFileToZip(zip_t* z, const fs::path& file, const std::string& name, bool store) {
    zip_source_t* src = zip_source_file(z, file.c_str(), 0, -1);
    if (src == nullptr) throw std::runtime_error(std::string("zip: ") + zip_strerror(z));
    const zip_int64_t idx = zip_file_add(z, name.c_str(), src, ZIP_FL_OVERWRITE);
    if (idx < 0) {
        zip_source_free(src);
        throw std::runtime_error(std::string("zip: ") + zip_strerror(z));
    }
    if (store) zip_set_file_compression(z, static_cast<zip_uint64_t>(idx), ZIP_CM_STORE, 0);
}

struct StagingDir {
    fs::path path;
    ~StagingDir() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

}  // namespace

std::string baseName(const PackageOptions& o) {
    std::string name = "FL_" + trim(o.partNumber) + "_" + o.softwareVersion;
    if (o.keyType == 0) name += "_E";
    if (o.keyType == 1) name += "_S";
    return name;
}

PackageResult generate(const PackageOptions& o) {
    const std::string pn = trim(o.partNumber);
    if (pn.empty() || pn.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") != std::string::npos)
        throw std::runtime_error("part number must be letters and digits: '" + o.partNumber + "'");
    if (o.softwareVersion.size() != 4) throw std::runtime_error("software version must have 4 characters");
    if (o.blockVersions.size() != 2) throw std::runtime_error("two block versions are needed");
    for (const std::string& v : o.blockVersions)
        if (v.size() != 4) throw std::runtime_error("block versions must have 4 characters");
    if (o.inlineSize < kImageHeaderSize || o.externSize < kImageHeaderSize || o.driverSize == 0)
        throw std::runtime_error("block sizes: driver at least 1 byte, logical blocks at least 16 bytes");
    if (o.alfids.size() != 6) throw std::runtime_error("ALFIDs: 6 hex digits (erase, download, check memory)");

    const std::string base = baseName(o);
    const std::string odxName = base + ".odx-f";
    // Only the ODX-F document carries the FL_ prefix, so that a search for "FL_.*" finds it alone.
    const std::string stem = pn + "_" + o.softwareVersion;
    const std::string dataName = stem + "_B1.bin";
    const std::string layerName = "EV_" + pn + "_001.odx";
    const std::string emId = "EM_" + pn;
    const std::string sessionId = emId + ".SES_Programming";
    std::vector<uint8_t> sa2 = o.sa2Program.empty() ? defaultSa2Program() : o.sa2Program;
    std::vector<std::string> accepted = o.acceptedSoftwareVersions;
    if (accepted.empty()) accepted = {"0220", o.softwareVersion};

    fs::create_directories(o.outDir);
    StagingDir staging;
    staging.path = fs::path(o.outDir) / (".pkggen-" + base + "-" + std::to_string(std::random_device{}()));
    fs::create_directories(staging.path);

    PackageResult result;
    result.odxName = odxName;
    const uint32_t addr0 = o.flashAddress;
    const uint32_t addr1 = static_cast<uint32_t>((uint64_t(addr0) + o.inlineSize + 0xFFFF) & ~uint64_t(0xFFFF));
    if (uint64_t(addr1) + o.externSize > 0xFFFFFFFFull) throw std::runtime_error("blocks do not fit 32-bit addresses");

    BlockData drv(o.dataSeed, -1, {});
    BlockData b0(o.dataSeed, 0, makeImageHeader(0, o.blockVersions[0], o.softwareVersion));
    BlockData b1(o.dataSeed, 1, makeImageHeader(1, o.blockVersions[1], o.softwareVersion));
    std::string dDrv, d0;
    const std::string hexDrv = inlineHex(drv, o.driverSize, dDrv);
    const std::string hex0 = inlineHex(b0, o.inlineSize, d0);
    const std::string d1 = writeDataFile(b1, o.externSize, staging.path / dataName);
    result.blocks = {{"DB_Driver", o.driverAddress, o.driverSize, dDrv},
                     {"DB_Block0", addr0, o.inlineSize, d0},
                     {"DB_Block1", addr1, o.externSize, d1}};

    // The ODX-F document.
    std::ostringstream x;
    auto expected = [&](const std::string& name, const std::vector<std::string>& values) {
        x << "          <EXPECTED-IDENT ID=\"" << sessionId << "." << name << "\">\n"
          << "            <SHORT-NAME>" << name << "</SHORT-NAME>\n            <IDENT-VALUES>\n";
        for (const std::string& v : values)
            x << "              <IDENT-VALUE TYPE=\"A_ASCIISTRING\">" << xmlEscape(v) << "</IDENT-VALUE>\n";
        x << "            </IDENT-VALUES>\n          </EXPECTED-IDENT>\n";
    };
    auto datablock = [&](const BlockInfo& b, const char* type, const char* flashdata, int logical) {
        x << "        <DATABLOCK ID=\"" << b.id << "\" TYPE=\"" << type << "\">\n"
          << "          <SHORT-NAME>" << b.id << "</SHORT-NAME>\n"
          << "          <FLASHDATA-REF ID-REF=\"" << flashdata << "\"/>\n"
          << "          <SEGMENTS>\n            <SEGMENT ID=\"SEG_" << b.id << "\">\n"
          << "              <SHORT-NAME>SEG_" << b.id << "</SHORT-NAME>\n"
          << "              <SOURCE-START-ADDRESS>" << hex8(b.address) << "</SOURCE-START-ADDRESS>\n"
          << "              <COMPRESSED-SIZE>" << b.size << "</COMPRESSED-SIZE>\n"
          << "              <UNCOMPRESSED-SIZE>" << b.size << "</UNCOMPRESSED-SIZE>\n"
          << "            </SEGMENT>\n          </SEGMENTS>\n";
        if (logical >= 0)
            x << "          <OWN-IDENTS>\n            <OWN-IDENT ID=\"OI_" << b.id << "\">\n"
              << "              <SHORT-NAME>OI_VWLogicSoftwBlockVersi_Block" << logical << "</SHORT-NAME>\n"
              << "              <IDENT-VALUE TYPE=\"A_ASCIISTRING\">" << xmlEscape(o.blockVersions[size_t(logical)])
              << "</IDENT-VALUE>\n            </OWN-IDENT>\n          </OWN-IDENTS>\n";
        x << "          <SECURITYS>\n            <SECURITY>\n"
          << "              <SECURITY-METHOD TYPE=\"A_ASCIISTRING\">SIGNATURE</SECURITY-METHOD>\n"
          << "              <FW-SIGNATURE TYPE=\"A_BYTEFIELD\">" << b.sha256 << "</FW-SIGNATURE>\n"
          << "            </SECURITY>\n          </SECURITYS>\n        </DATABLOCK>\n";
    };
    auto flashdata = [&](const char* id, bool intern, const std::string& payload) {
        x << "        <FLASHDATA ID=\"" << id << "\" xsi:type=\"" << (intern ? "INTERN-FLASHDATA" : "EXTERN-FLASHDATA") << "\">\n"
          << "          <SHORT-NAME>" << id << "</SHORT-NAME>\n"
          << "          <DATAFORMAT SELECTION=\"BINARY\"/>\n"
          << "          <ENCRYPT-COMPRESS-METHOD TYPE=\"A_BYTEFIELD\">00</ENCRYPT-COMPRESS-METHOD>\n";
        if (intern) x << "          <DATA>" << payload << "</DATA>\n";
        else x << "          <DATAFILE LATEBOUND-DATAFILE=\"false\">" << xmlEscape(payload) << "</DATAFILE>\n";
        x << "        </FLASHDATA>\n";
    };

    x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<ODX MODEL-VERSION=\"2.0.1\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
      << "  <FLASH ID=\"" << base << "\">\n    <SHORT-NAME>" << base << "</SHORT-NAME>\n"
      << "    <ECU-MEMS>\n  <ECU-MEM ID=\"" << emId << "\">\n    <SHORT-NAME>" << emId << "</SHORT-NAME>\n    <MEM>\n"
      << "      <SESSIONS>\n        <SESSION ID=\"" << sessionId << "\">\n"
      << "          <SHORT-NAME>SES_Programming</SHORT-NAME>\n          <EXPECTED-IDENTS>\n";
    expected("EI_VWSparePartNumbe", {o.partNumber});
    expected("EI_VWAppliSoftwVersiNumbe", accepted);
    expected("EI_VWECUHardwNumbe", {o.hardwareNumber});
    expected("EI_VWECUHardwVersiNumbe", {o.hardwareVersion});
    x << "          </EXPECTED-IDENTS>\n          <SECURITYS>\n"
      << "            <SECURITY>\n              <SECURITY-METHOD TYPE=\"A_ASCIISTRING\">SA2</SECURITY-METHOD>\n"
      << "              <FW-SIGNATURE TYPE=\"A_BYTEFIELD\">" << toHex(sa2) << "</FW-SIGNATURE>\n            </SECURITY>\n"
      << "            <SECURITY>\n              <SECURITY-METHOD TYPE=\"A_ASCIISTRING\">ALFID</SECURITY-METHOD>\n"
      << "              <FW-SIGNATURE TYPE=\"A_BYTEFIELD\">" << o.alfids << "</FW-SIGNATURE>\n            </SECURITY>\n"
      << "          </SECURITYS>\n          <DATABLOCK-REFS>\n"
      << "            <DATABLOCK-REF ID-REF=\"DB_Driver\"/>\n"
      << "            <DATABLOCK-REF ID-REF=\"DB_Block0\"/>\n"
      << "            <DATABLOCK-REF ID-REF=\"DB_Block1\"/>\n          </DATABLOCK-REFS>\n"
      << "          <SDGS>\n            <SDG>\n"
      << "              <SD SI=\"ECU-MEM-SPEC-VERSION\">3.0.0</SD>\n"
      << "              <SD SI=\"VW80126-VERSION\">" << xmlEscape(o.vw80126Version) << "</SD>\n"
      << "              <SD SI=\"Update-Execution\">Completely</SD>\n"
      << "            </SDG>\n          </SDGS>\n        </SESSION>\n      </SESSIONS>\n      <DATABLOCKS>\n";
    datablock(result.blocks[0], "DRIVER", "FD_Driver", -1);
    datablock(result.blocks[1], "FLASH_DATA", "FD_Block0", 0);
    datablock(result.blocks[2], "FLASH_DATA", "FD_Block1", 1);
    x << "      </DATABLOCKS>\n      <FLASHDATAS>\n";
    flashdata("FD_Driver", true, hexDrv);
    flashdata("FD_Block0", true, hex0);
    flashdata("FD_Block1", false, dataName);
    x << "      </FLASHDATAS>\n    </MEM>\n  </ECU-MEM>\n    </ECU-MEMS>\n"
      << "    <ECU-MEM-CONNECTORS>\n      <ECU-MEM-CONNECTOR ID=\"EMC_" << pn << "\">\n"
      << "        <SHORT-NAME>EMC_" << pn << "</SHORT-NAME>\n"
      << "        <SESSION-DESCS>\n          <SESSION-DESC DIRECTION=\"DOWNLOAD\">\n"
      << "            <SHORT-NAME>SD_Download</SHORT-NAME>\n"
      << "            <SESSION-SNREF SHORT-NAME=\"SES_Programming\"/>\n"
      << "          </SESSION-DESC>\n        </SESSION-DESCS>\n        <IDENT-DESCS>\n";
    for (int i = 0; i < 2; ++i)
        x << "          <IDENT-DESC>\n"
          << "            <DIAG-COMM-SNREF SHORT-NAME=\"DiagnServi_ReadDataByIdentVWLogicSoftwBlockVersi\"/>\n"
          << "            <IDENT-IF-SNREF SHORT-NAME=\"OI_VWLogicSoftwBlockVersi_Block" << i << "\"/>\n"
          << "            <OUT-PARAM-IF-SNREF SHORT-NAME=\"Param_VWLogicSoftwBlockVersi_Block" << i << "\"/>\n"
          << "          </IDENT-DESC>\n";
    x << "        </IDENT-DESCS>\n        <ECU-MEM-REF ID-REF=\"" << emId << "\"/>\n"
      << "        <LAYER-REFS>\n          <LAYER-REF DOCREF=\"EV_" << pn << "\" DOCTYPE=\"LAYER\" ID-REF=\"EV_" << pn
      << "_001\"/>\n        </LAYER-REFS>\n      </ECU-MEM-CONNECTOR>\n    </ECU-MEM-CONNECTORS>\n"
      << "  </FLASH>\n</ODX>\n";

    // The diagnostic layer: byte positions of the block versions in the 0xF1AB answer.
    std::ostringstream l;
    l << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<ODX MODEL-VERSION=\"2.0.1\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
      << "  <DIAG-LAYER-CONTAINER ID=\"EV_" << pn << "\">\n    <SHORT-NAME>EV_" << pn << "</SHORT-NAME>\n"
      << "    <ECU-VARIANTS>\n      <ECU-VARIANT ID=\"EV_" << pn << "_001\">\n"
      << "        <SHORT-NAME>EV_" << pn << "_001</SHORT-NAME>\n        <DIAG-COMMS>\n"
      << "          <DIAG-SERVICE ID=\"DiagnServi_ReadDataByIdentVWLogicSoftwBlockVersi\">\n"
      << "            <SHORT-NAME>DiagnServi_ReadDataByIdentVWLogicSoftwBlockVersi</SHORT-NAME>\n"
      << "            <POS-RESPONSE-REFS>\n"
      << "              <POS-RESPONSE-REF ID-REF=\"PR_ReadDataByIdentVWLogicSoftwBlockVersi\"/>\n"
      << "            </POS-RESPONSE-REFS>\n          </DIAG-SERVICE>\n        </DIAG-COMMS>\n"
      << "        <POS-RESPONSES>\n          <POS-RESPONSE ID=\"PR_ReadDataByIdentVWLogicSoftwBlockVersi\">\n"
      << "            <SHORT-NAME>PR_ReadDataByIdentVWLogicSoftwBlockVersi</SHORT-NAME>\n            <PARAMS>\n"
      << "              <PARAM xsi:type=\"CODED-CONST\">\n                <SHORT-NAME>Param_RespoServiId</SHORT-NAME>\n"
      << "                <BYTE-POSITION>0</BYTE-POSITION>\n              </PARAM>\n"
      << "              <PARAM xsi:type=\"CODED-CONST\">\n                <SHORT-NAME>Param_DataIdentifier</SHORT-NAME>\n"
      << "                <BYTE-POSITION>1</BYTE-POSITION>\n              </PARAM>\n";
    for (int i = 0; i < 2; ++i)
        l << "              <PARAM xsi:type=\"VALUE\">\n"
          << "                <SHORT-NAME>Param_VWLogicSoftwBlockVersi_Block" << i << "</SHORT-NAME>\n"
          << "                <BYTE-POSITION>" << (3 + 4 * i) << "</BYTE-POSITION>\n              </PARAM>\n";
    l << "            </PARAMS>\n          </POS-RESPONSE>\n        </POS-RESPONSES>\n"
      << "      </ECU-VARIANT>\n    </ECU-VARIANTS>\n  </DIAG-LAYER-CONTAINER>\n</ODX>\n";

    std::ostringstream idx;
    idx << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CATALOG F-DTD-VERSION=\"ODX-2.0.1\">\n"
        << "  <SHORT-NAME>" << base << "</SHORT-NAME>\n  <ABLOCKS>\n"
        << "    <ABLOCK><SHORT-NAME>" << odxName << "</SHORT-NAME><FILES><FILE>" << odxName << "</FILE></FILES></ABLOCK>\n"
        << "    <ABLOCK><SHORT-NAME>" << dataName << "</SHORT-NAME><FILES><FILE>" << dataName << "</FILE></FILES></ABLOCK>\n"
        << "    <ABLOCK><SHORT-NAME>" << layerName << "</SHORT-NAME><FILES><FILE>" << layerName << "</FILE></FILES></ABLOCK>\n"
        << "  </ABLOCKS>\n</CATALOG>\n";

    auto writeText = [&](const std::string& name, const std::string& text) {
        std::ofstream f(staging.path / name, std::ios::binary);
        f << text;
        if (!f.flush()) throw std::runtime_error("cannot write " + (staging.path / name).string());
    };
    writeText(odxName, x.str());
    writeText(layerName, l.str());
    writeText("index.xml", idx.str());

    const fs::path pdx = fs::path(o.outDir) / (stem + ".pdx");
    std::error_code ec;
    fs::remove(pdx, ec);
    int err = 0;
    zip_t* z = zip_open(pdx.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (z == nullptr) throw std::runtime_error("cannot create " + pdx.string());
    try {
        addFileToZip(z, staging.path / "index.xml", "index.xml", false);
        addFileToZip(z, staging.path / odxName, odxName, false);
        addFileToZip(z, staging.path / layerName, layerName, false);
        addFileToZip(z, staging.path / dataName, dataName, true);
    } catch (...) {
        zip_discard(z);
        throw;
    }
    if (zip_close(z) != 0) {
        std::string why = zip_strerror(z);
        zip_discard(z);
        throw std::runtime_error("cannot write " + pdx.string() + ": " + why);
    }
    result.pdxPath = pdx.string();

    char ram[64];
    snprintf(ram, sizeof ram, "0x%08X:0x%X", o.driverAddress, o.driverSize);
    result.simulatorOptions = "--sa2_program " + toHex(sa2) + " --ram_region " + ram;
    return result;
}

}  // namespace pkggen
}  // namespace ecusim
