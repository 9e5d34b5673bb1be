// ODX_: reading the open ODX-F document (sessions, versions, expected identifications, SA2
// data, block versions) and turning it into the flash command list.
// One document at a time; process-wide state, main thread only.
#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <string>

#include "odx/odx_flashcmd.h"

// Limits of the fixed-size records.
constexpr int ODX_MAX_BLOCKS = 64;
constexpr int ODX_MAX_EXPECTED_IDENTS = 10;
constexpr int ODX_IDENT_NAME_SIZE = 1024;
constexpr int ODX_VERSION_SIZE = 5;
constexpr uint32_t ODX_SA2_BUFFER_SIZE = 4096;

// SA2 data for security access; the buffer is owned by the ODX_ module until ODX_vDeinit.
struct ODX_tstSA2KeyParam {
    uint32_t length;  // bytes in the buffer, at least 1
    uint8_t* bytes;   // buffer of ODX_SA2_BUFFER_SIZE bytes
};

// Names of the identifications the file expects.
struct ODX__tstExpectedIdents {
    uint8_t count;
    char names[ODX_MAX_EXPECTED_IDENTS][ODX_IDENT_NAME_SIZE];
};

// Versions of the ODX-F file: software version from the file name and, per logical block,
// the version, its identification name and its byte position in the ECU's 0xF1AB answer.
struct ODX__tsEcuVer {
    char acEcuVersion[ODX_VERSION_SIZE];
    uint8_t u8BlockCount;
    char aacBlockVersion[ODX_MAX_BLOCKS][ODX_VERSION_SIZE];
    char aacBlockIdentName[ODX_MAX_BLOCKS][ODX_IDENT_NAME_SIZE];
    int32_t ai32BytePos[ODX_MAX_BLOCKS];
    uint8_t aboProgramBlock[ODX_MAX_BLOCKS];  // set by the sequencer: 1 program, 0 skip
};

// Module start: empties all state and checks the XML library version.
void ODX_vInit();
// Module end: frees the document, the parser state, the command list and the SA2 data.
void ODX_vDeinit();
// Unpacks every PDX archive found below root into root/Unpacked, then syncs the file system.
void ODX_UnpackAllPDX(const std::string& root);
// Opens an ODX-F file, reads its references and versions and fills ecuVersion.
bool ODX_boOpenOdxFile(const std::string& path, ODX__tsEcuVer& ecuVersion);
// Opens the one file below directory whose name matches pattern (see ODX_boOpenOdxFile).
bool ODX_boOpenOdxFile_ByPattern(const std::string& directory, const std::string& pattern, ODX__tsEcuVer& ecuVersion);
// Builds the SA2 data and the command list of the open document.
bool ODX_boPrepareOdxCommandList();
// Copies the next command (shallow: pu8Data stays the list's); wraps to the head after the last.
void ODX_vGetNextOdxCommand(ODX_tstFlashcmdParam* cmd);
// Logs the command list.
void ODX_vDumpCommandList();
// Reads the names of the expected identifications; false only if there are more than 10.
bool ODX_boGetExpectedIdents(ODX__tstExpectedIdents* idents);
// True if the document lists value for the identification name.
bool ODX_boCheckExpectedIdent(const char* name, const char* value);
// Copies the SA2 data's length and buffer pointer; false if there is none.
bool ODX_boGetSA2Key(ODX_tstSA2KeyParam* key);
// First child element of node named name, or nullptr.
xmlNodePtr ODX_getXmlChild(xmlNodePtr node, const char* name);
// Inline hex data of a FLASHDATA element as exactly size bytes (malloc'ed), or nullptr.
uint8_t* ODX_getInternFlashData(xmlNodePtr flashdata, uint32_t size);
// Full path (malloc'ed) of the data file named by a FLASHDATA element, or nullptr.
char* ODX_getExternFlashFilename(xmlNodePtr flashdata);
