#include "sim/state_file.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/package_sa2.h"
#include "sim/sha256.h"

namespace ecusim {

bool saveState(const std::string& path, const EcuConfig& s) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::trunc);
        f << "spare_part_number=" << s.sparePartNumber << "\n"
          << "software_version=" << s.softwareVersion << "\n"
          << "hardware_number=" << s.hardwareNumber << "\n"
          << "hardware_version=" << s.hardwareVersion << "\n"
          << "series_key=" << (s.seriesKey ? 1 : 0) << "\n"
          << "consistent=" << (s.consistent ? 1 : 0) << "\n";
        for (const LogicalBlock& b : s.blocks)
            f << "block=" << b.version << " " << toHex(b.fingerprint) << " " << int(b.state) << " " << b.address << " "
              << b.size << "\n";
        if (!f.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool loadState(const std::string& path, EcuConfig& config, std::string& error) {
    std::ifstream f(path);
    if (!f) {
        error = "cannot read " + path;
        return false;
    }
    EcuConfig c = config;
    c.blocks.clear();
    std::string line;
    int n = 0;
    while (std::getline(f, line)) {
        ++n;
        if (line.empty()) continue;
        const auto eq = line.find('=');
        const std::string key = line.substr(0, eq), value = eq == std::string::npos ? "" : line.substr(eq + 1);
        bool ok = eq != std::string::npos;
        if (key == "spare_part_number") c.sparePartNumber = value;
        else if (key == "software_version") c.softwareVersion = value;
        else if (key == "hardware_number") c.hardwareNumber = value;
        else if (key == "hardware_version") c.hardwareVersion = value;
        else if (key == "series_key") c.seriesKey = value == "1";
        else if (key == "consistent") c.consistent = value == "1";
        else if (key == "block") {
            std::istringstream in(value);
            LogicalBlock b;
            std::string fp;
            int state = 0;
            in >> b.version >> fp >> state >> b.address >> b.size;
            ok = !in.fail() && b.version.size() == 4 && parseHexBytes(fp, b.fingerprint) && b.fingerprint.size() == 9;
            b.state = static_cast<uint8_t>(state);
            if (ok) c.blocks.push_back(b);
        } else {
            ok = false;
        }
        if (!ok) {
            error = path + ":" + std::to_string(n) + ": malformed line";
            return false;
        }
    }
    if (c.blocks.size() > 64) {
        error = path + ": more than 64 blocks";
        return false;
    }
    config = c;
    return true;
}

}  // namespace ecusim
