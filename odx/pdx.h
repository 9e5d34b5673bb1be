// PDX_: unpacking PDX archives (zip files) into one package directory each below the unpack
// root "<datflash>/Unpacked".
#pragma once

#include <zip.h>

#include <cstdint>
#include <filesystem>
#include <string>

// Unpack root as text, valid for the life of the process.
const char* PDX_GetRootPath();
// Unpacks one archive unless its package directory exists; true if it exists afterwards.
bool PDX_boUnpack(const std::string& archive);

// Module internals, used by the ODX_ module and the tests.
const std::filesystem::path& PDX__GetRootPath();
std::filesystem::path PDX__MakePackageRootName(const std::string& archive);
void PDX__CreateDir(const std::string& path);
// Extracts one entry into path; sets *readFailed when the entry could not be read or
// written completely (a target file that cannot be created is only logged).
void PDX__vUnzipIndexToFile(zip_t* archive, int index, const char* path, int64_t size, bool* readFailed = nullptr);
// Extracts archive into packageDir (through a temporary directory beside it); true if
// the archive was opened, read and closed without error.
bool PDX__boUnzipFile(const std::string& archive, const std::string& packageDir);
// Forgets the cached unpack root (tests change the datflash path between cases).
void PDX__vResetForTest();
