#include "sim/package_sa2.h"

#include <zip.h>

#include <cctype>
#include <fstream>
#include <sstream>

namespace ecusim {

bool parseHexBytes(const std::string& text, std::vector<uint8_t>& out) {
    std::string digits;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

bool sa2FromOdxText(const std::string& odx, std::vector<uint8_t>& program) {
    size_t pos = 0;
    while ((pos = odx.find("<SECURITY>", pos)) != std::string::npos) {
        const size_t end = odx.find("</SECURITY>", pos);
        if (end == std::string::npos) return false;
        const std::string sec = odx.substr(pos, end - pos);
        pos = end;
        const size_t m = sec.find("<SECURITY-METHOD");
        if (m == std::string::npos) continue;
        const size_t mv = sec.find('>', m);
        const size_t me = sec.find("</SECURITY-METHOD>", m);
        if (mv == std::string::npos || me == std::string::npos || sec.substr(mv + 1, me - mv - 1) != "SA2") continue;
        const size_t f = sec.find("<FW-SIGNATURE");
        if (f == std::string::npos) continue;
        const size_t fv = sec.find('>', f);
        const size_t fe = sec.find("</FW-SIGNATURE>", f);
        if (fv == std::string::npos || fe == std::string::npos) continue;
        if (parseHexBytes(sec.substr(fv + 1, fe - fv - 1), program)) return true;
    }
    return false;
}

namespace {
bool endsWith(const std::string& s, const std::string& e) {
    return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}
}  // namespace

bool readSa2FromPackage(const std::string& path, std::vector<uint8_t>& program, std::string& error) {
    if (endsWith(path, ".pdx") || endsWith(path, ".PDX")) {
        int err = 0;
        zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, &err);
        if (z == nullptr) {
            error = "cannot open archive " + path;
            return false;
        }
        bool found = false;
        for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0) && !found; ++i) {
            zip_stat_t st;
            if (zip_stat_index(z, static_cast<zip_uint64_t>(i), 0, &st) != 0) continue;
            const std::string name = st.name;
            if (!endsWith(name, ".odx-f") && !endsWith(name, ".odx")) continue;
            zip_file_t* f = zip_fopen_index(z, static_cast<zip_uint64_t>(i), 0);
            if (f == nullptr) continue;
            std::string text(st.size, '\0');
            const zip_int64_t n = zip_fread(f, text.data(), st.size);
            zip_fclose(f);
            if (n == static_cast<zip_int64_t>(st.size)) found = sa2FromOdxText(text, program);
        }
        zip_close(z);
        if (!found) error = "no SA2 program in " + path;
        return found;
    }
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    if (sa2FromOdxText(ss.str(), program)) return true;
    error = "no SA2 program in " + path;
    return false;
}

}  // namespace ecusim
