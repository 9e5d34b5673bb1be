#include "sim/report_json.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/sha256.h"

namespace ecusim {
namespace {

std::string q(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char t[8];
            snprintf(t, sizeof t, "\\u%04x", c);
            out += t;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string hex32(uint32_t v) {
    char t[16];
    snprintf(t, sizeof t, "\"0x%08X\"", v);
    return t;
}

}  // namespace

std::string reportToJson(const Report& r, const EcuConfig& st) {
    std::ostringstream o;
    o << "{\n  \"requests\": [";
    for (size_t i = 0; i < r.requests.size(); ++i) {
        const RequestRecord& q0 = r.requests[i];
        o << (i ? ",\n" : "\n") << "    {\"t_ms\": " << q0.timeMs << ", \"addressing\": " << (q0.functional ? "\"functional\"" : "\"physical\"")
          << ", \"length\": " << q0.length << ", \"request\": " << q(toHex(q0.head)) << ", \"answers\": [";
        for (size_t j = 0; j < q0.answers.size(); ++j) {
            const auto& a = q0.answers[j];
            o << (j ? ", " : "") << q(toHex(a.data(), std::min<size_t>(a.size(), 64)));
        }
        o << "]}";
    }
    o << "\n  ],\n  \"erased\": [";
    for (size_t i = 0; i < r.erased.size(); ++i)
        o << (i ? ", " : "") << "{\"address\": " << hex32(r.erased[i].address) << ", \"size\": " << r.erased[i].size << "}";
    o << "],\n  \"downloads\": [";
    for (size_t i = 0; i < r.downloads.size(); ++i) {
        const DownloadRecord& d = r.downloads[i];
        o << (i ? ",\n" : "\n") << "    {\"address\": " << hex32(d.address) << ", \"size\": " << d.memorySize
          << ", \"data_format\": " << int(d.dataFormat) << ", \"received\": " << d.received << ", \"complete\": " << (d.complete ? "true" : "false")
          << ", \"ram\": " << (d.ram ? "true" : "false") << ", \"sha256\": " << q(d.sha256) << ", \"check\": " << q(d.check)
          << ", \"block\": " << d.blockIndex << ", \"block_version\": " << q(d.blockVersion)
          << ", \"software_version\": " << q(d.softwareVersion) << "}";
    }
    o << "\n  ],\n  \"writes\": [";
    for (size_t i = 0; i < r.writes.size(); ++i) {
        char did[8];
        snprintf(did, sizeof did, "%04X", r.writes[i].did);
        const char* name = r.writes[i].did == 0xF15A ? "fingerprint" : r.writes[i].did == 0xF199 ? "programming_date" : "tester_serial";
        o << (i ? ", " : "") << "{\"did\": \"" << did << "\", \"name\": \"" << name << "\", \"data\": " << q(toHex(r.writes[i].data)) << "}";
    }
    o << "],\n  \"violations\": [";
    for (size_t i = 0; i < r.violations.size(); ++i) {
        const ViolationRecord& v = r.violations[i];
        char nrc[8];
        snprintf(nrc, sizeof nrc, "%02X", v.nrc);
        o << (i ? ",\n" : "\n") << "    {\"t_ms\": " << v.timeMs << ", \"request\": " << q(toHex(v.head))
          << ", \"nrc\": \"" << nrc << "\", \"reason\": " << q(v.reason) << "}";
    }
    o << "\n  ],\n  \"resets\": " << r.resets << ",\n  \"connections_ended\": " << r.connectionsLost
      << ",\n  \"alive_checks\": {\"sent\": " << r.aliveChecksSent << ", \"answered\": " << r.aliveChecksAnswered << "},\n  \"notes\": [";
    for (size_t i = 0; i < r.notes.size(); ++i) o << (i ? ", " : "") << q(r.notes[i]);
    o << "],\n  \"final_state\": {\"spare_part_number\": " << q(st.sparePartNumber) << ", \"software_version\": " << q(st.softwareVersion)
      << ", \"consistent\": " << (st.consistent ? "true" : "false") << ", \"blocks\": [";
    for (size_t i = 0; i < st.blocks.size(); ++i) {
        const LogicalBlock& b = st.blocks[i];
        o << (i ? ", " : "") << "{\"version\": " << q(b.version) << ", \"state\": " << int(b.state)
          << ", \"fingerprint\": " << q(toHex(b.fingerprint)) << "}";
    }
    o << "]}\n}\n";
    return o.str();
}

bool writeReport(const std::string& path, const Report& report, const EcuConfig& finalState) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << reportToJson(report, finalState);
        if (!f.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace ecusim
