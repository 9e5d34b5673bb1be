// ODX_ module state, start and end, the XPath query and small helpers of all readers.
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlversion.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logging/cnv.h"
#include "logging/log.h"
#include "odx/odx_internal.h"

xmlDocPtr ODX__pstOdxFile = nullptr;
char ODX__acEcuMemRef[ODX_REF_SIZE] = {};
char ODX__acSessionSnref[ODX_REF_SIZE] = {};
uint8_t ODX__u8AlfidEraseMemory = 0x44;
uint8_t ODX__u8AlfidRequestDownload = 0x44;
uint8_t ODX__u8AlfidCheckMemory = 0x04;
ODX__tenEcuMemSpecVersion ODX__enEcuMemSpecVersion = ODX_MEMSPEC_UNKNOWN;
ODX_tenVW80126Version ODX__enVW80126Version = ODX_VW80126_BELOW_2;
ODX_tstSA2KeyParam* ODX__pstSA2Key = nullptr;
char ODX__acOdxFilePath[ODX_PATH_SIZE] = {};
bool ODX__boFileIsODXF = false;
ODX__tsEcuVer* ODX__psBlockVersion = nullptr;

namespace {

void vResetState() {
    ODX__vFreeFlashCmdList();
    ODX__vFreeSA2Key();
    if (ODX__pstOdxFile != nullptr) xmlFreeDoc(ODX__pstOdxFile);
    ODX__pstOdxFile = nullptr;
    ODX__acEcuMemRef[0] = '\0';
    ODX__acSessionSnref[0] = '\0';
    ODX__u8AlfidEraseMemory = 0x44;
    ODX__u8AlfidRequestDownload = 0x44;
    ODX__u8AlfidCheckMemory = 0x04;
    ODX__enEcuMemSpecVersion = ODX_MEMSPEC_UNKNOWN;
    ODX__enVW80126Version = ODX_VW80126_BELOW_2;
    ODX__acOdxFilePath[0] = '\0';
    ODX__boFileIsODXF = false;
    ODX__psBlockVersion = nullptr;
}

// Parser and XPath errors of libxml2 go to the log instead of standard error.
void vXmlError(void*, xmlErrorPtr error) {
    if (error == nullptr || error->message == nullptr) return;
    std::string message(error->message);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    if (error->file != nullptr) {
        LOG_vError("ODX: XML %s:%d: %s", error->file, error->line, message.c_str());
    } else {
        LOG_vError("ODX: XML: %s", message.c_str());
    }
}

}  // namespace

void ODX_vInit() {
    vResetState();
    xmlSetStructuredErrorFunc(nullptr, vXmlError);
    // Checks the run-time library against the version this program was compiled with.
    LIBXML_TEST_VERSION
}

void ODX_vDeinit() {
    vResetState();
    xmlCleanupParser();
}

xmlXPathObjectPtr ODX__pstExecuteXPathExpression(xmlDocPtr doc, const char* expression) {
    if (doc == nullptr) {
        LOG_vError("ODX: XML Doc is empty");
        return nullptr;
    }
    xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
    if (ctx == nullptr) {
        LOG_vError("ODX: unable to create new XPath context");
        return nullptr;
    }
    xmlXPathObjectPtr result = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression), ctx);
    if (result == nullptr) LOG_vError("ODX: Error executing expression: \"%s\"", expression);
    xmlXPathFreeContext(ctx);
    return result;
}

xmlDocPtr ODX__pstOpenODXDocument(const char* path) {
    xmlInitParser();
    xmlSetStructuredErrorFunc(nullptr, vXmlError);
    return xmlReadFile(path, nullptr, XML_PARSE_HUGE);
}

bool ODX__boFindODXF_inFilename(const char* path) { return std::strstr(path, "odx-f") != nullptr; }

xmlNodePtr ODX_getXmlChild(xmlNodePtr node, const char* name) {
    if (node == nullptr) return nullptr;
    for (xmlNodePtr child = xmlFirstElementChild(node); child != nullptr; child = xmlNextElementSibling(child)) {
        if (std::strcmp(reinterpret_cast<const char*>(child->name), name) == 0) return child;
    }
    return nullptr;
}

ODX__Query::~ODX__Query() { vFree(); }

void ODX__Query::vFree() {
    if (obj_ != nullptr) xmlXPathFreeObject(obj_);
    obj_ = nullptr;
}

bool ODX__Query::boRun(xmlDocPtr doc, const char* fmt, ...) {
    vFree();
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(expr_, sizeof expr_, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof expr_) {
        LOG_vError("ODX: Expression too long (%d characters): %.120s", n, expr_);
        expr_[0] = '\0';
        return false;
    }
    obj_ = ODX__pstExecuteXPathExpression(doc, expr_);
    return obj_ != nullptr;
}

int ODX__Query::iCount() const {
    if (obj_ == nullptr || obj_->nodesetval == nullptr) return 0;
    return obj_->nodesetval->nodeNr;
}

xmlNodePtr ODX__Query::pstFirstNode() const { return iCount() > 0 ? obj_->nodesetval->nodeTab[0] : nullptr; }

const char* ODX__Query::pcTextAt(int i) const {
    if (i < 0 || i >= iCount()) return nullptr;
    const xmlNodePtr node = obj_->nodesetval->nodeTab[i];
    if (node == nullptr || node->type == XML_NAMESPACE_DECL || node->children == nullptr) return nullptr;
    return reinterpret_cast<const char*>(node->children->content);
}

bool ODX__boCopyText(char* dst, size_t size, const char* src, const char* what) {
    const size_t len = std::strlen(src);
    if (len >= size) {
        LOG_vError("ODX: %s too long (%d characters, at most %d): %.60s", what, static_cast<int>(len),
                   static_cast<int>(size - 1), src);
        return false;
    }
    std::memcpy(dst, src, len + 1);
    return true;
}

uint32_t ODX__u32HexByteCount(const char* text) {
    uint32_t digits = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (std::isxdigit(static_cast<unsigned char>(*p))) ++digits;
    }
    return digits / 2;
}
