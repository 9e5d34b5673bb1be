// The session report of the simulated ECU as JSON: every request in order with its answers,
// erased / downloaded / checked regions with their SHA-256 digests, the written fingerprint,
// programming date and tester serial number, the violations the ECU saw, and its final state.
#pragma once

#include <string>

#include "sim/ecu_config.h"
#include "sim/ecu_model.h"

namespace ecusim {

std::string reportToJson(const Report& report, const EcuConfig& finalState);
// Writes the JSON to `path` (through a temporary file renamed into place). false on failure.
bool writeReport(const std::string& path, const Report& report, const EcuConfig& finalState);

}  // namespace ecusim
