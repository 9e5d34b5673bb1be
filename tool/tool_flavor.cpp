#include "tool/tool_flavor.h"

#include "tool/tool_log.h"

namespace {

void ToolError(const char* text) { LOG<&LogErrorPrefix>("%s", text); }
void ToolDebug(int /*level*/, const char* text) { LOG<&LogDebugPrefix>("%s", text); }

const sockets::Flavor kToolFlavor{&ToolError, &ToolDebug, true};

}  // namespace

const sockets::Flavor& ToolFlavor() { return kToolFlavor; }
