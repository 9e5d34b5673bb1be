// Recursive file search by regular expression over file names.
#include "odx/ofman.h"

#include <filesystem>
#include <regex>
#include <system_error>
#include <vector>

#include "logging/log.h"

namespace fs = std::filesystem;

namespace {
std::vector<std::string> ODX__FileList;
}

void OFMAN_vInit() { ODX__FileList.clear(); }

void OFMAN_vDeinit() { ODX__FileList.clear(); }

uint16_t OFMAN_u16FindFiles(const std::string& directory, const std::string& pattern) {
    LOG_vInfo("OFMAN: Searching for \"%s\" Files in \"%s\"", pattern.c_str(), directory.c_str());
    ODX__FileList.clear();

    std::regex re;
    try {
        re.assign(pattern, std::regex::ECMAScript | std::regex::icase);
    } catch (const std::regex_error& e) {
        LOG_vError("OFMAN: Invalid search pattern \"%s\": %s", pattern.c_str(), e.what());
        return 0;
    }

    std::error_code ec;
    fs::recursive_directory_iterator it(directory, fs::directory_options::skip_permission_denied, ec);
    if (ec) {
        LOG_vError("OFMAN: Cannot search in \"%s\": %s", directory.c_str(), ec.message().c_str());
        return 0;
    }
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        std::error_code sec;
        if (!it->is_regular_file(sec)) continue;
        const std::string name = it->path().filename().string();
        if (!std::regex_match(name, re)) continue;
        LOG_vInfo("OFMAN: Found: %s", name.c_str());
        ODX__FileList.push_back(it->path().string());
    }
    if (ec) LOG_vError("OFMAN: Cannot search in \"%s\": %s", directory.c_str(), ec.message().c_str());
    return static_cast<uint16_t>(ODX__FileList.size());
}

std::string OFMAN_strGetODXFilePath(uint16_t index) {
    if (index < ODX__FileList.size()) return ODX__FileList[index];
    LOG_vError("OFMAN: Get Path from invalid index %d", index);
    return std::string();
}
