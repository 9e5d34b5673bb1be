// State file of the simulated ECU: its identifications and logical block table, kept between
// runs so that a second flash of the same package finds the software current. Plain text, one
// "key=value" per line; blocks as "block=<version> <fingerprint hex> <state> <address> <size>".
#pragma once

#include <string>

#include "sim/ecu_config.h"

namespace ecusim {

bool saveState(const std::string& path, const EcuConfig& state);
// Overwrites the identifications of `config` with those in the file. false (with `error` set)
// when the file cannot be read or holds a malformed line; `config` is then unchanged.
bool loadState(const std::string& path, EcuConfig& config, std::string& error);

}  // namespace ecusim
