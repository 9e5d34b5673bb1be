// kestrum_pkggen: writes a sample datflash tree (one PDX archive) for kestrum_flasher and
// kestrum_ecusim, and prints the archive's path and the matching simulator options.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>

#include "sim/pkggen/pkggen.h"
#include "sim/package_sa2.h"


int main(int argc, char** argv) {
    ecusim::pkggen::PackageOptions o;
    std::string sa2;
    CLI::App app{"Writes a sample PDX/ODX-F flash package for kestrum_flasher and kestrum_ecusim"};
    app.add_option("-o,--out", o.outDir, "datflash directory to write the archive into")->required();
    app.add_option("--part_number", o.partNumber, "VW spare part number (letters and digits)");
    app.add_option("--sw_version", o.softwareVersion, "software version of the package (4 characters)");
    app.add_option("--accepted_sw_versions", o.acceptedSoftwareVersions,
                   "software versions the package may be flashed over\nDefault: 0220 and the package's version");
    app.add_option("--hw_number", o.hardwareNumber, "VW ECU hardware number");
    app.add_option("--hw_version", o.hardwareVersion, "VW ECU hardware version");
    app.add_option("--block_versions", o.blockVersions, "versions of logical blocks 0 and 1")->expected(2);
    app.add_option("--key_type", o.keyType, "-1 no key variant in the file name, 0 development (_E), 1 series (_S)")
        ->check(CLI::Range(-1, 1));
    app.add_option("--driver_size", o.driverSize, "flash driver size in bytes");
    app.add_option("--inline_size", o.inlineSize, "size of block 0 (data inside the document) in bytes");
    app.add_option("--extern_size", o.externSize, "size of block 1 (data file) in bytes, e.g. 67108864 for 64 MiB");
    app.add_option("--flash_address", o.flashAddress, "start address of block 0");
    app.add_option("--driver_address", o.driverAddress, "RAM address of the flash driver");
    app.add_option("--sa2_program", sa2, "SA2 program as hex bytes\nDefault: the simulator's default program");
    app.add_option("--vw80126_version", o.vw80126Version, "VW80126-VERSION of the document");
    app.add_option("--alfids", o.alfids, "ALFIDs for erase, request download, check memory (6 hex digits)");
    app.add_option("--data_seed", o.dataSeed, "varies the generated block contents");
    CLI11_PARSE(app, argc, argv);
    if (!sa2.empty() && !ecusim::parseHexBytes(sa2, o.sa2Program)) {
        std::fprintf(stderr, "kestrum_pkggen: --sa2_program is not hex bytes: %s\n", sa2.c_str());
        return 2;
    }
    try {
        const auto r = ecusim::pkggen::generate(o);
        std::printf("package: %s\nodx: %s\n", r.pdxPath.c_str(), r.odxName.c_str());
        for (const auto& b : r.blocks)
            std::printf("block: %s address 0x%08X size %u sha256 %s\n", b.id.c_str(), b.address, b.size, b.sha256.c_str());
        std::printf("ecusim options: %s\n", r.simulatorOptions.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrum_pkggen: %s\n", e.what());
        return 1;
    }
    return 0;
}
