// State and identification reads of the flash sequencer that other modules use:
// the ECU's key type (signature variant, file variant) and the run's block-version record.
#pragma once

#include "odx/odx.h"

// Key material of the ECU: 0 development, 1 series, 2 not yet known.
extern int FLASH__enKeyType;
// Block versions of the open ODX-F file; programming flags set by the file choice.
extern ODX__tsEcuVer FLASH__sOdxBlockVersion;

// Reads the ECU's FDS project data (0xF1D5) and sets FLASH__enKeyType; true if the key type
// is known (read now or before).
bool FLASH__boReadIdent_FDSProjectData();
