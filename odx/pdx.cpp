// PDX archive unpacking with libzip. Each archive is extracted into a temporary directory
// beside its package directory and renamed into place only when extraction succeeded, so a
// half-extracted archive never looks complete to the next run. Entries whose names would
// leave the package directory are refused.
#include "odx/pdx.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "flasher/cfg.h"
#include "logging/log.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t PDX_PATH_SIZE = 4096;
constexpr size_t PDX_CHUNK_SIZE = 65536;

bool boRootKnown = false;
fs::path PDX__RootPath;
std::string rootPathStr;

// True if the entry name stays inside the directory it is extracted into: not absolute and
// without ".." components.
bool boEntryNameIsSafe(const char* name) {
    if (name[0] == '\0' || name[0] == '/') return false;
    const char* p = name;
    while (*p != '\0') {
        const char* end = std::strchr(p, '/');
        const size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if (len == 2 && p[0] == '.' && p[1] == '.') return false;
        if (!end) break;
        p = end + 1;
    }
    return true;
}

bool boWriteAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

const fs::path& PDX__GetRootPath() {
    if (!boRootKnown) {
        PDX__RootPath = fs::path(CFG_strGetDatflashPath()) / "Unpacked";
        rootPathStr = PDX__RootPath.string();
        boRootKnown = true;
    }
    return PDX__RootPath;
}

const char* PDX_GetRootPath() {
    PDX__GetRootPath();
    return rootPathStr.c_str();
}

void PDX__vResetForTest() {
    boRootKnown = false;
    PDX__RootPath.clear();
    rootPathStr.clear();
}

fs::path PDX__MakePackageRootName(const std::string& archive) {
    static const std::string fallbackDir = "Fallback";
    std::string name = fs::path(archive).filename().string();
    if (name.empty()) name = fallbackDir;
    return PDX__GetRootPath() / name;
}

void PDX__CreateDir(const std::string& path) {
    std::error_code ec;
    fs::create_directory(path, ec);
    if (ec) LOG_vError("PDX: can't create directory %s - %s", path.c_str(), ec.message().c_str());
}

void PDX__vUnzipIndexToFile(zip_t* archive, int index, const char* path, int64_t size, bool* readFailed) {
    zip_file_t* zf = zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0);
    if (zf == nullptr) {
        LOG_vError("PDX: can't open zip index %d", index);
        if (readFailed) *readFailed = true;
        return;
    }
    LOG_vDebug_1("PDX: inflating %s", path);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        LOG_vError("PDX: can't open new file %s", path);
        zip_fclose(zf);
        return;
    }
    bool failed = false;
    if (size != 0) {
        std::vector<char> buf(PDX_CHUNK_SIZE);
        uint64_t written = 0;
        while (written != static_cast<uint64_t>(size)) {
            const zip_int64_t n = zip_fread(zf, buf.data(), buf.size());
            if (n < 0) {
                LOG_vError("PDX: can't read packed file");
                failed = true;
                break;
            }
            if (n == 0) break;
            if (!boWriteAll(fd, buf.data(), static_cast<size_t>(n))) {
                LOG_vError("PDX: can't write file %s - %s", path, std::strerror(errno));
                failed = true;
                break;
            }
            written += static_cast<uint64_t>(n);
        }
        if (!failed && written != static_cast<uint64_t>(size)) {
            LOG_vError("PDX: short entry %s: %llu of %lld bytes", path, static_cast<unsigned long long>(written),
                       static_cast<long long>(size));
            failed = true;
        }
    }
    if (::close(fd) != 0) {
        LOG_vError("PDX: can't write file %s - %s", path, std::strerror(errno));
        failed = true;
    }
    // zip_fclose reports a CRC mismatch of the entry's data.
    if (zip_fclose(zf) != 0 && !failed) {
        LOG_vError("PDX: can't read packed file");
        failed = true;
    }
    if (failed && readFailed) *readFailed = true;
}

bool PDX__boUnzipFile(const std::string& archive, const std::string& packageDir) {
    LOG_vInfo("PDX: Extracting %s", archive.c_str());
    int err = 0;
    zip_t* za = zip_open(archive.c_str(), 0, &err);
    if (za == nullptr) {
        zip_error_t error;
        zip_error_init_with_code(&error, err);
        LOG_vError("PDX: can't open zip archive: %s", zip_error_strerror(&error));
        zip_error_fini(&error);
        return false;
    }

    // Extract beside the package directory; a leftover of an interrupted run is replaced.
    const std::string workDir = packageDir + ".unpacking";
    std::error_code ec;
    fs::remove_all(workDir, ec);
    PDX__CreateDir(workDir);

    bool readFailed = false;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        const int index = static_cast<int>(i);
        zip_stat_t sb;
        zip_stat_init(&sb);
        if (zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &sb) != 0 || !(sb.valid & ZIP_STAT_NAME)) {
            LOG_vError("PDX: can't stat index %d.", index);
            readFailed = true;
            continue;
        }
        if (!boEntryNameIsSafe(sb.name)) {
            LOG_vError("PDX: refusing entry outside the package directory: %s", sb.name);
            continue;
        }
        const std::string target = workDir + "/" + sb.name;
        if (target.size() >= PDX_PATH_SIZE) {
            LOG_vError("PDX: path of entry %d too long: %s", index, sb.name);
            continue;
        }
        const size_t nameLen = std::strlen(sb.name);
        if (sb.name[nameLen - 1] == '/') {
            PDX__CreateDir(target);
        } else {
            const int64_t size = (sb.valid & ZIP_STAT_SIZE) ? static_cast<int64_t>(sb.size) : 0;
            PDX__vUnzipIndexToFile(za, index, target.c_str(), size, &readFailed);
        }
    }

    bool ok = true;
    if (zip_close(za) != 0) {
        LOG_vError("PDX: can't close zip");
        zip_discard(za);
        ok = false;
    }
    if (ok && readFailed) {
        LOG_vError("PDX: extraction of %s failed, nothing unpacked", archive.c_str());
        ok = false;
    }
    if (ok) {
        fs::rename(workDir, packageDir, ec);
        if (ec) {
            LOG_vError("PDX: can't move %s to %s - %s", workDir.c_str(), packageDir.c_str(), ec.message().c_str());
            ok = false;
        }
    }
    if (!ok) fs::remove_all(workDir, ec);
    return ok;
}

bool PDX_boUnpack(const std::string& archive) {
    const fs::path packageDir = PDX__MakePackageRootName(archive);
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(packageDir, ec);
    if (fs::exists(st)) {
        LOG_vError("PDX: Already unpacked: %s", packageDir.string().c_str());
        return true;
    }
    if (ec && st.type() != fs::file_type::not_found) {
        LOG_vError("PDX: can't query %s - %s", packageDir.string().c_str(), ec.message().c_str());
        return false;
    }
    PDX__CreateDir(PDX_GetRootPath());
    return PDX__boUnzipFile(archive, packageDir.string());
}
