// The tool's flavour of the shared socket layer and DoIP wire code: their messages go to the
// tool's logger ("Error:"/"Debug:" on standard error, only with -v) and the reduced socket
// behaviour of the tool applies.
#pragma once

#include "sockets/flavor.h"

const sockets::Flavor& ToolFlavor();
