// Checks a `candump -L` log of an ISO-TP conversation: every frame of the given ISO-TP
// identifiers padded to its full length with the padding byte (both directions, classic CAN or
// CAN FD), traffic present on the identifiers expected, and the cyclic tester present frame
// repeated about once per period while the flash runs and silent after an end-marker frame.
// Built by the VM test driver and run inside the VM; prints what it found and exits 1 on a fault.
//
// canlog_check LOG [--pad AA] [--isotp ID]... [--expect ID]... [--fd] [--tp ID:PERIOD_MS]
//              [--window ID] [--marker ID]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Frame {
    double t = 0;
    unsigned id = 0;  // without the extended flag
    bool fd = false;
    std::vector<unsigned> data;
};

int faults = 0;

void fault(const std::string& what) {
    if (faults < 20) std::printf("canlog: FAIL %s\n", what.c_str());
    ++faults;
}

std::string hex(unsigned v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

// "(1700000000.123456) vcan0 714#0322F187AAAAAAAA" or "... 714##1<data>" for CAN FD.
bool parse(const std::string& line, Frame& f) {
    if (line.size() < 3 || line[0] != '(') return false;
    std::istringstream in(line);
    std::string stamp, dev, frame;
    if (!(in >> stamp >> dev >> frame)) return false;
    f.t = std::strtod(stamp.c_str() + 1, nullptr);
    const size_t hash = frame.find('#');
    if (hash == std::string::npos) return false;
    f.id = static_cast<unsigned>(std::strtoul(frame.substr(0, hash).c_str(), nullptr, 16));
    std::string payload = frame.substr(hash + 1);
    f.fd = !payload.empty() && payload[0] == '#';
    if (f.fd) payload = payload.substr(2);  // '#' and the flags nibble
    if (!payload.empty() && payload[0] == 'R') return false;
    f.data.clear();
    for (size_t i = 0; i + 1 < payload.size(); i += 2)
        f.data.push_back(static_cast<unsigned>(std::strtoul(payload.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

// Padding of one ISO-TP identifier's frames, tracking the rest of the message in flight.
struct IsotpStream {
    long remaining = 0;
    void check(const Frame& f, unsigned pad) {
        const size_t n = f.data.size();
        const std::string where = hex(f.id) + " at " + std::to_string(f.t);
        if (!f.fd && n != 8) fault("frame of " + std::to_string(n) + " bytes (not padded to 8) on " + where);
        if (n == 0) return;
        size_t used = 0;  // bytes carrying PCI and payload
        switch (f.data[0] >> 4) {
            case 0:  // single frame
                if ((f.data[0] & 0x0F) == 0 && n > 8) used = 2 + (n > 1 ? f.data[1] : 0);
                else used = 1 + (f.data[0] & 0x0F);
                break;
            case 1: {  // first frame
                long total = ((f.data[0] & 0x0F) << 8) | (n > 1 ? f.data[1] : 0);
                size_t head = 2;
                if (total == 0 && n >= 6) {
                    total = (long)((f.data[2] << 24) | (f.data[3] << 16) | (f.data[4] << 8) | f.data[5]);
                    head = 6;
                }
                remaining = total - static_cast<long>(n - head);
                used = n;
                break;
            }
            case 2: {  // consecutive frame
                const long chunk = std::min<long>(remaining, static_cast<long>(n) - 1);
                remaining -= chunk;
                used = 1 + static_cast<size_t>(chunk);
                break;
            }
            case 3:  // flow control
                used = 3;
                break;
            default:
                fault("unknown ISO-TP frame type on " + where);
                return;
        }
        for (size_t i = used; i < n; ++i) {
            if (f.data[i] != pad) {
                fault("byte " + std::to_string(i) + " is " + hex(f.data[i]) + ", not padding, on " + where);
                return;
            }
        }
    }
};

unsigned num(const char* s) { return static_cast<unsigned>(std::strtoul(s, nullptr, 16)); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: canlog_check LOG [options]\n");
        return 2;
    }
    unsigned pad = 0xAA, tp_id = 0, window_id = 0, marker = 0;
    bool want_fd = false, have_tp = false, have_window = false, have_marker = false;
    double period = 0;
    std::map<unsigned, IsotpStream> streams;
    std::vector<unsigned> expect;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--pad") pad = num(v), ++i;
        else if (a == "--isotp") streams[num(v)] = {}, ++i;
        else if (a == "--expect") expect.push_back(num(v)), ++i;
        else if (a == "--fd") want_fd = true;
        else if (a == "--window") window_id = num(v), have_window = true, ++i;
        else if (a == "--marker") marker = num(v), have_marker = true, ++i;
        else if (a == "--tp") {
            tp_id = num(v);
            const char* colon = std::strchr(v, ':');
            period = colon != nullptr ? std::atof(colon + 1) / 1000.0 : 0;
            have_tp = true;
            ++i;
        } else {
            std::fprintf(stderr, "canlog_check: unknown option %s\n", a.c_str());
            return 2;
        }
    }

    std::ifstream in(argv[1]);
    if (!in) {
        std::printf("canlog: FAIL cannot open %s\n", argv[1]);
        return 1;
    }
    std::vector<Frame> frames;
    std::string line;
    while (std::getline(in, line)) {
        Frame f;
        if (parse(line, f)) frames.push_back(f);
    }

    std::map<unsigned, size_t> per_id;
    size_t isotp_frames = 0, fd_frames = 0;
    double window_start = -1, window_end = -1, marker_t = -1;
    std::vector<double> tp;
    for (const Frame& f : frames) {
        ++per_id[f.id];
        if (f.fd) ++fd_frames;
        if (have_marker && f.id == marker && marker_t < 0) marker_t = f.t;
        const bool is_tp = have_tp && f.id == tp_id && f.data.size() == 8 && f.data[0] == 0x02 &&
                           f.data[1] == 0x3E && f.data[2] == 0x80;
        if (is_tp) {
            tp.push_back(f.t);
            for (size_t i = 3; i < 8; ++i)
                if (f.data[i] != pad) fault("tester present frame not padded at " + std::to_string(f.t));
            if (f.fd) fault("tester present sent as a CAN FD frame");
        }
        auto s = streams.find(f.id);
        if (s != streams.end()) {
            ++isotp_frames;
            if (!is_tp && want_fd != f.fd && f.data.size() > 0)
                fault(std::string(f.fd ? "CAN FD" : "classic") + " frame on " + hex(f.id) + " at " + std::to_string(f.t));
            s->second.check(f, pad);
        }
        if (have_window && f.id == window_id) {
            if (window_start < 0) window_start = f.t;
            window_end = f.t;
        }
    }
    for (unsigned id : expect)
        if (per_id[id] == 0) fault("no frames on " + hex(id));

    std::printf("canlog: %zu frames (%zu CAN FD), %zu ISO-TP frames checked for padding 0x%02X\n", frames.size(),
                fd_frames, isotp_frames, pad);
    for (const auto& [id, count] : per_id) std::printf("canlog:   %s: %zu frames\n", hex(id).c_str(), count);

    if (have_tp) {
        if (have_marker && marker_t < 0) fault("no end marker frame " + hex(marker));
        size_t after = 0, inside = 0;
        double longest = 0, shortest = 1e9;
        for (size_t i = 0; i < tp.size(); ++i) {
            if (marker_t >= 0 && tp[i] > marker_t) ++after;
            if (have_window && tp[i] >= window_start && tp[i] <= window_end) ++inside;
            if (i > 0) {
                const double gap = tp[i] - tp[i - 1];
                longest = std::max(longest, gap);
                shortest = std::min(shortest, gap);
            }
        }
        const double span = window_end - window_start;
        std::printf("canlog: tester present: %zu frames, %zu during the flash (%.2f s), gaps %.3f..%.3f s, period %.3f s\n",
                    tp.size(), inside, span, tp.size() > 1 ? shortest : 0.0, tp.size() > 1 ? longest : 0.0, period);
        if (after > 0) fault(std::to_string(after) + " tester present frames after the end marker");
        if (tp.size() > 1 && (shortest < 0.5 * period || longest > 1.5 * period))
            fault("tester present gaps outside half to one and a half periods");
        if (have_window && span > 2 * period && inside + 1 < static_cast<size_t>(span / period))
            fault("too few tester present frames during the flash");
        if (have_window && span > 2 * period && tp.empty()) fault("no tester present frames");
    }
    if (faults > 0) {
        std::printf("canlog: %d faults\n", faults);
        return 1;
    }
    std::printf("canlog: ok\n");
    return 0;
}
