// A PDX archive through the unpacker into a private datflash root. Besides the sanitizers'
// checks the target asserts that the unpacker creates nothing outside the unpack root:
// every open() of the unpacker is checked by name (linked with --wrap=open; a relative name
// fails the check too, as the unpack root is absolute), and after each
// run the whole temporary tree is walked for files in the wrong place or left-over
// half-extracted directories.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "odx/pdx.h"

using namespace fuzzsupport;

namespace {

fs::path Base() { return TempRoot() / "pdx"; }
fs::path Datflash() { return Base() / "root"; }
fs::path UnpackRoot() { return Datflash() / "Unpacked"; }
fs::path Archive() { return Base() / "archive" / "Cluster.pdx"; }

// True if path, taken lexically (".", ".." and repeated separators resolved), lies below the
// unpack root.
bool IsInsideUnpackRoot(const char* path) {
    const std::string root = UnpackRoot().string() + "/";
    const std::string normal = fs::path(path).lexically_normal().string();
    return normal.size() > root.size() && normal.compare(0, root.size(), root) == 0;
}

void CheckTree(bool unpacked) {
    const fs::path package = UnpackRoot() / "Cluster.pdx";
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(Base(), ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (ec) __builtin_trap();
        const fs::path& p = it->path();
        if (fs::is_symlink(it->symlink_status())) __builtin_trap();
        if (p == Datflash() || p == UnpackRoot() || p == Archive() || p == Archive().parent_path()) continue;
        // Only the package directory and what is in it; a package directory only on success.
        const std::string s = p.string();
        const std::string pkg = package.string();
        if (s != pkg && s.compare(0, pkg.size() + 1, pkg + "/") != 0) __builtin_trap();
        if (!unpacked) __builtin_trap();
    }
}

}  // namespace

extern "C" int __real_open(const char* path, int flags, ...);

// Every file the unpacker creates must be below the unpack root.
extern "C" int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if ((flags & (O_CREAT | O_WRONLY | O_RDWR)) != 0 && !IsInsideUnpackRoot(path)) __builtin_trap();
    return __real_open(path, flags, mode);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        Configure({"--datflash_path", Datflash().string()});
        PDX__vResetForTest();
        return true;
    }();
    (void)once;

    std::error_code ec;
    fs::remove_all(UnpackRoot(), ec);
    WriteFile(Archive(), data, size);
    const bool unpacked = PDX_boUnpack(Archive().string());
    CheckTree(unpacked);
    LOG_vFlush();
    return 0;
}
