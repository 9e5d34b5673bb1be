// The flash sequencer's run operations, called by the entry point.
#pragma once

// Initialises the UDS client and its transport; false on failure.
bool FLASH_boInit();
// Runs one flash session; returns a FLASH_tenResult.
int FLASH_iMain();
// Shuts the UDS client down.
void FLASH_vDeinit();
// Parses the ODX-F file named by --test_odx_file and dumps its command list.
bool FLASH_boTestOdxFile();
