// Sample package generator: writes a PDX archive (zip) with an ODX-F document for a VW 80126
// instrument cluster into a datflash directory. The package holds
//   - a flash driver (DRIVER block, inline data, downloaded into RAM),
//   - logical block 0 (FLASH_DATA, INTERN-FLASHDATA: hex inside the document),
//   - logical block 1 (FLASH_DATA, EXTERN-FLASHDATA: a data file beside the document),
// with the SA2 program, ALFIDs, expected identifications, a SIGNATURE security method per
// block whose FW-SIGNATURE is the SHA-256 digest of the block's bytes (what ecusim's
// check-memory routine accepts), block versions with a diagnostic layer file giving their byte
// positions in the 0xF1AB answer. The ODX-F document is named FL_<part number>_<version>[_E|_S]
// .odx-f; the archive <part number>_<version>.pdx and the data file <part number>_<version>_B1.bin
// (only the document starts with FL_, so the pattern "FL_.*" finds exactly it).
// Every logical block image starts with the image header of sim/image_header.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ecusim {
namespace pkggen {

struct PackageOptions {
    std::string outDir;                          // datflash root; created if missing
    std::string partNumber = "5G0920861A";       // EI_VWSparePartNumbe, and FL_ names (trimmed)
    std::string softwareVersion = "0221";        // the package's version (4 characters)
    std::vector<std::string> acceptedSoftwareVersions;  // EI_VWAppliSoftwVersiNumbe; empty: {"0220", version}
    std::string hardwareNumber = "5G0920861";
    std::string hardwareVersion = "H03";
    std::vector<std::string> blockVersions{"0002", "0002"};  // logical blocks 0 and 1
    int keyType = -1;                            // -1 no key variant in the name, 0 "_E", 1 "_S"
    uint32_t driverSize = 2048;
    uint32_t inlineSize = 16 * 1024;             // block 0 (hex inside the document)
    uint32_t externSize = 64 * 1024;             // block 1 (data file)
    uint32_t driverAddress = 0x20000000;         // RAM
    uint32_t flashAddress = 0x00080000;          // block 0; block 1 follows, 64 KiB aligned
    std::vector<uint8_t> sa2Program;             // empty: ecusim::defaultSa2Program()
    std::string vw80126Version = "1.0.0";        // "2.0.0" or higher: check memory sends only the signature
    std::string alfids = "444444";               // erase, request download, check memory
    uint32_t dataSeed = 1;                       // varies the block contents
};

struct BlockInfo {
    std::string id;
    uint32_t address = 0;
    uint32_t size = 0;
    std::string sha256;  // upper-case hex, the FW-SIGNATURE
};

struct PackageResult {
    std::string pdxPath;     // the archive written
    std::string odxName;     // file name of the ODX-F document inside it
    std::vector<BlockInfo> blocks;  // driver, block 0, block 1
    std::string simulatorOptions;   // kestrum_ecusim options matching the package
};

// Writes the package; throws std::runtime_error with a readable text on failure.
PackageResult generate(const PackageOptions& options);

// The name without extension: FL_<trimmed part number>_<version>[_E|_S].
std::string baseName(const PackageOptions& options);

}  // namespace pkggen
}  // namespace ecusim
