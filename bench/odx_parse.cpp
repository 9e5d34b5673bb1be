// Times kestrum_flasher --test_odx_file on an ODX-F document with one large inline data
// block against the floor, xmllint --noout --huge on the same file (libxml2's parse alone),
// and prints wall time and peak memory of both. Usage: bench_odx_parse [MiB of hex text, default 64]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Figures {
    int status = -1;
    double seconds = 0;
    long peakKiB = 0;
};

// Runs a program with stdout and stderr discarded; wall time and the child's peak RSS.
Figures run(const std::vector<std::string>& args) {
    Figures f;
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        FILE* null = std::fopen("/dev/null", "w");
        if (null) {
            dup2(fileno(null), 1);
            dup2(fileno(null), 2);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    f.peakKiB = ru.ru_maxrss;
    return f;
}

void writeDocument(const fs::path& file, size_t hexChars) {
    const size_t bytes = hexChars / 2;
    std::ofstream out(file, std::ios::binary);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<ODX xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><FLASH ID=\"F\"><SHORT-NAME>F</SHORT-NAME>"
           "<ECU-MEMS><ECU-MEM ID=\"EM\"><SHORT-NAME>EM</SHORT-NAME><MEM><SESSIONS><SESSION ID=\"EM.S\">"
           "<SHORT-NAME>S</SHORT-NAME><SECURITYS><SECURITY><SECURITY-METHOD TYPE=\"A_ASCIISTRING\">SA2"
           "</SECURITY-METHOD><FW-SIGNATURE TYPE=\"A_BYTEFIELD\">81014C</FW-SIGNATURE></SECURITY></SECURITYS>"
           "<DATABLOCK-REFS><DATABLOCK-REF ID-REF=\"DB\"/></DATABLOCK-REFS><SDGS><SDG>"
           "<SD SI=\"ECU-MEM-SPEC-VERSION\">3.0.0</SD><SD SI=\"VW80126-VERSION\">2.0</SD></SDG></SDGS>"
           "</SESSION></SESSIONS><DATABLOCKS><DATABLOCK ID=\"DB\" TYPE=\"FLASH_DATA\"><SHORT-NAME>App</SHORT-NAME>"
           "<FLASHDATA-REF ID-REF=\"FD\"/><SEGMENTS><SEGMENT><SOURCE-START-ADDRESS>00A00000</SOURCE-START-ADDRESS>"
           "<UNCOMPRESSED-SIZE>"
        << bytes
        << "</UNCOMPRESSED-SIZE></SEGMENT></SEGMENTS><OWN-IDENTS><OWN-IDENT ID=\"OI\">"
           "<SHORT-NAME>OI_VWLogicSoftwBlockVersi_App</SHORT-NAME><IDENT-VALUE TYPE=\"A_ASCIISTRING\">0001"
           "</IDENT-VALUE></OWN-IDENT></OWN-IDENTS><SECURITYS><SECURITY><SECURITY-METHOD TYPE=\"A_ASCIISTRING\">"
           "CHECKSUM</SECURITY-METHOD><FW-CHECKSUM TYPE=\"A_BYTEFIELD\">12345678</FW-CHECKSUM></SECURITY>"
           "</SECURITYS></DATABLOCK></DATABLOCKS><FLASHDATAS><FLASHDATA ID=\"FD\" xsi:type=\"INTERN-FLASHDATA\">"
           "<SHORT-NAME>FD</SHORT-NAME><DATAFORMAT SELECTION=\"BINARY\"/><ENCRYPT-COMPRESS-METHOD "
           "TYPE=\"A_BYTEFIELD\">00</ENCRYPT-COMPRESS-METHOD><DATA>";
    std::string chunk;
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < 1 << 20; ++i) chunk += digits[(i * 7 + i / 16) & 15];
    size_t left = bytes * 2;
    while (left > 0) {
        const size_t n = left < chunk.size() ? left : chunk.size();
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    out << "</DATA></FLASHDATA></FLASHDATAS></MEM></ECU-MEM></ECU-MEMS><ECU-MEM-CONNECTORS><ECU-MEM-CONNECTOR "
           "ID=\"C\"><SHORT-NAME>C</SHORT-NAME><ECU-MEM-REF ID-REF=\"EM\"/><SESSION-DESCS><SESSION-DESC "
           "DIRECTION=\"DOWNLOAD\"><SHORT-NAME>SD</SHORT-NAME><SESSION-SNREF SHORT-NAME=\"S\"/></SESSION-DESC>"
           "</SESSION-DESCS></ECU-MEM-CONNECTOR></ECU-MEM-CONNECTORS></FLASH></ODX>\n";
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const fs::path flasher = self.parent_path().parent_path() / "kestrum_flasher";
    char tmpl[] = "/tmp/kestrum_bench_odx_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const fs::path root = tmpl;
    const std::string name = "FL_BENCH0001_0001.odx-f";
    const fs::path file = root / "Unpacked" / "Bench.pdx" / name;
    fs::create_directories(file.parent_path());
    writeDocument(file, mib << 20);
    std::printf("document: %s, %.1f MiB (%zu MiB of inline hex text, one block)\n", file.c_str(),
                static_cast<double>(fs::file_size(file)) / (1 << 20), mib);

    // The flasher syncs the file system after unpacking; flush the new document first so that
    // sync does not count the writing of this benchmark's own file.
    run({"sync"});
    const Figures floor = run({"xmllint", "--noout", "--huge", file.string()});
    const Figures odx = run({flasher.string(), "--test_odx_file", name, "--datflash_path", root.string(), "--logfile",
                             (root / "log.txt").string()});
    std::printf("%-40s %10s %14s %6s\n", "", "wall [s]", "peak RSS [MiB]", "exit");
    std::printf("%-40s %10.3f %14.1f %6d\n", "xmllint --noout --huge (floor)", floor.seconds, floor.peakKiB / 1024.0,
                floor.status);
    std::printf("%-40s %10.3f %14.1f %6d\n", "kestrum_flasher --test_odx_file", odx.seconds, odx.peakKiB / 1024.0,
                odx.status);
    std::printf("ratio flasher/floor: time %.2f, memory %.2f\n", odx.seconds / floor.seconds,
                static_cast<double>(odx.peakKiB) / static_cast<double>(floor.peakKiB));
    std::error_code ec;
    fs::remove_all(root, ec);
    return 0;
}
