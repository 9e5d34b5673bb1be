// Internals of the ODX_ module shared by its source files and used by the tests.
#pragma once

#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "odx/odx.h"

constexpr size_t ODX_REF_SIZE = 100;
constexpr size_t ODX_PATH_SIZE = 4096;
constexpr size_t ODX_EXPR_SIZE = 4096;
constexpr size_t ODX_SIGNATURE_SIZE = 4096;
constexpr uint8_t ODX_NO_BLOCK = 255;

// ECU-MEM-SPEC version of the open document.
enum ODX__tenEcuMemSpecVersion : int32_t {
    ODX_MEMSPEC_UNKNOWN = 0,
    ODX_MEMSPEC_2_0_0 = 1,
    ODX_MEMSPEC_3_0_0 = 2,
    ODX_MEMSPEC_4_0_0 = 3,
};

// Module state (process-wide, main thread only).
extern xmlDocPtr ODX__pstOdxFile;
extern char ODX__acEcuMemRef[ODX_REF_SIZE];
extern char ODX__acSessionSnref[ODX_REF_SIZE];
extern uint8_t ODX__u8AlfidEraseMemory;
extern uint8_t ODX__u8AlfidRequestDownload;
extern uint8_t ODX__u8AlfidCheckMemory;
extern ODX__tenEcuMemSpecVersion ODX__enEcuMemSpecVersion;
extern ODX_tenVW80126Version ODX__enVW80126Version;
extern ODX_tstSA2KeyParam* ODX__pstSA2Key;
extern char ODX__acOdxFilePath[ODX_PATH_SIZE];
extern bool ODX__boFileIsODXF;
extern ODX__tsEcuVer* ODX__psBlockVersion;

// One XPath query: the formatted expression and its result, freed with the object.
class ODX__Query {
public:
    ODX__Query() = default;
    ~ODX__Query();
    ODX__Query(const ODX__Query&) = delete;
    ODX__Query& operator=(const ODX__Query&) = delete;

    // Formats the expression (printf style) and runs it on doc; false if the expression
    // did not fit its buffer (logged) or the evaluation yielded nothing.
    bool boRun(xmlDocPtr doc, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    // The query ran and returned a node set (possibly empty).
    bool boHasResult() const { return obj_ != nullptr; }
    // Number of nodes (0 without a result).
    int iCount() const;
    // Text of the first node (content of its first child), or nullptr.
    const char* pcText() const { return pcTextAt(0); }
    // Text of node i (content of its first child), or nullptr.
    const char* pcTextAt(int i) const;
    // Text only if the result holds exactly one node with text.
    const char* pcSingleText() const { return iCount() == 1 ? pcText() : nullptr; }
    // First node, or nullptr.
    xmlNodePtr pstFirstNode() const;
    const char* expr() const { return expr_; }

private:
    void vFree();
    xmlXPathObjectPtr obj_ = nullptr;
    char expr_[ODX_EXPR_SIZE] = {};
};

// Copies src into dst of size bytes; a longer text is refused with a logged error naming what.
bool ODX__boCopyText(char* dst, size_t size, const char* src, const char* what);
// Number of bytes CNV_u32HexStrToByteArray makes of text.
uint32_t ODX__u32HexByteCount(const char* text);

// Query on doc; result owned by the caller (xmlXPathFreeObject), or nullptr.
xmlXPathObjectPtr ODX__pstExecuteXPathExpression(xmlDocPtr doc, const char* expression);
// Parses a document with the huge-document option; nullptr on failure.
xmlDocPtr ODX__pstOpenODXDocument(const char* path);
bool ODX__boFindODXF_inFilename(const char* path);

// Session model.
bool ODX__boReadSessionAndMemRef();
void ODX__vInitAlfid();
void ODX__vInitMemSpecVersion();
bool ODX__boBuildSA2Key();
void ODX__vFreeSA2Key();

// Data block references of the download session: their number (0 logs notFound with the
// expression unless it is nullptr) and the ID of reference k (from 1; a missing one is logged).
int ODX__iCountDatablockRefs(const char* notFound);
bool ODX__boGetDatablockRef(int k, std::string& id);

// Block versions and file versions.
bool ODX__boReadBlockVersions(ODX__tsEcuVer& record);
int ODX__iFindLayerRefs(const char* identName);
bool ODX__boFindVersion(const char* path, char* version);

// Command record and data-block readers.
ODX_tstFlashcmdParam* ODX__pstNewCmd(ODX_tenFlashCmd kind);
void ODX__vFreeCmd(ODX_tstFlashcmdParam* cmd);
bool ODX__boGetSourceAddress(const char* id, uint32_t* value);
bool ODX__boGetCompressedSize(const char* id, uint32_t* value);
bool ODX__boGetUncompressedSize(const char* id, uint32_t* value);
bool ODX__boGetEncryptionAndCompressionMethod(const char* id, uint8_t* value);
const char* ODX__pcGetShortName(const char* id);
const char* ODX__pcGetFlashRef(const char* id);
uint8_t ODX__u8GetBlockNumber(const char* id);

// Command list.
bool ODX__boBuildOdxCommandList();
bool ODX__boBuildFlashCmd(const char* id);
ODX_tstFlashcmdParam* ODX__pstBuildEraseCmd(const char* id);
ODX_tstFlashcmdParam* ODX__pstBuildDriverCmd(const char* id);
ODX_tstFlashcmdParam* ODX__pstBuildDataCmd(const char* id);
ODX_tstFlashcmdParam* ODX__pstBuildErrorCmd();
void ODX__vAddFlashCmd(ODX_tstFlashcmdParam* cmd);
void ODX__vFreeFlashCmdList();
uint8_t* ODX__pau8GetData(const char* id, uint32_t size, bool* isFile);
bool ODX__GetBinaryPath(char* buffer, int size, const char* fileName);

// Signatures.
ODX_tstFlashcmdParam* ODX__pstBuildSignature(const char* id);
bool ODX__boReadSignature(char* buffer, const char* shortName);
