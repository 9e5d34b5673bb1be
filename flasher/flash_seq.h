// Internal interface of the flash sequencer: the ECU identification store and its readers,
// the ODX-F file choice with the partial-flash decision, and the flash procedure with its
// steps. Used by the sequencer's own files and by its tests; not by other modules (they use
// flasher/flash_internal.h).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "flasher/flash_internal.h"
#include "flasher/result.h"
#include "odx/odx.h"
#include "odx/odx_flashcmd.h"

// ---- Identification store ---------------------------------------------------------------

constexpr int FLASH_MAX_SW_BLOCKS = 64;

// One logical software block as the ECU reports it.
struct FLASH_tstSwBlock {
    char acBlockVersion[5];  // 4 characters and terminator
    uint8_t u8ProgState;     // 0 valid, any other value invalid
};

extern char FLASH__acVWSparePartNumber[12];
extern bool FLASH__boVWSparePartNumberValid;
extern char FLASH__acVWSoftwareVersionNumber[5];
extern bool FLASH__boVWSoftwareVersionNumberValid;
extern char FLASH__acVWEcuHardwareNum[12];
extern bool FLASH__boVWEcuHardwareNumValid;
extern char FLASH__acVWEcuHardwareVersionNum[4];
extern bool FLASH__boVWEcuHardwareVersionNumValid;
extern bool FLASH__boECUConsistent;
extern bool FLASH__boECUConsistentValid;
extern uint8_t FLASH__u8SwBlockNo;
extern FLASH_tstSwBlock FLASH__astSwBlock[FLASH_MAX_SW_BLOCKS];

bool FLASH__boReadIdent_VWSparePartNumber();
bool FLASH__boReadIdent_VWSoftwareVersionNumber();
bool FLASH__boReadIdent_VWECUHardwareNumber();
bool FLASH__boReadIdent_VWECUHardwareVersionNumber();
bool FLASH__boReadIdent_ECUProgrammingInformation();
// Reads 0xF1AB and 0xF15B afresh; true if both were read and agree.
bool FLASH__boReadIdent_BlockVersionsAndFingerprints();
// Reads everything not valid yet, logging as it goes; always true.
bool FLASH__boReadIdentifications();
// Clears the validity of spare part number, software version, hardware number and version
// and programming information.
void FLASH__vInvalidate_Idents();
// Empties the whole identification store and the key type (tests only).
void FLASH__vResetIdents();

// ECU block that carries the version at byte position bytePos of the 0xF1AB answer
// (3 header bytes, then 4 characters per block). *blockIndex receives the index computed
// from the position; the result is null when that index lies outside the block table.
const FLASH_tstSwBlock* FLASH__pstEcuBlockByBytePos(int32_t bytePos, int* blockIndex);
// The same for block j of the open ODX-F file, by its byte position; logs the mapping.
const FLASH_tstSwBlock* FLASH__pstEcuBlockOfFileBlock(int fileBlock, int* blockIndex);
// Number of blocks of the open ODX-F file, bounded by the size of its block record.
int FLASH__iFileBlockCount();

// ---- ODX-F file choice ------------------------------------------------------------------

// 0 program the marked blocks, 1 software current, 4 no usable file or an expected
// identification does not match, 9 an identification read failed or the block data do
// not allow a decision.
int FLASH__enOpenODXFile(const std::string& odxFileName, const std::string& root);
// Marks every block of the open file for programming.
void FLASH__vForceAllBlocksFromODX();

// ---- Flash procedure --------------------------------------------------------------------

extern time_t FLASH__tTime;
extern struct tm FLASH__stTime;
extern ODX_tstSA2KeyParam FLASH__stSA2Key;
extern ODX_tstFlashcmdParam FLASH__stFlashCmd;

FLASH_tenResult FLASH__enDoFlash();
// 0 done, 3 failed.
int FLASH__vPreProgrammingSteps();
// Restores communication and DTC setting (unless disabled or only reading identifications).
void FLASH__vPostProgrammingSteps();
// 0 all commands done, 5 failed.
int runProgrammingLoop();
int downloadCommand(const ODX_tstFlashcmdParam& cmd);
int eraseCommand(const ODX_tstFlashcmdParam& cmd);
int checkMemoryCommand(const ODX_tstFlashcmdParam& cmd);
int updateExecutionCommand();
int errorCommand();
int finishedCommand();
bool FLASH__boWriteFingerprint();
bool FLASH__boWritePrgDateAndTestSerial();
bool FLASH__boDoEcuReset();
// 0 blocks agree, 8 they do not.
int FLASH__enCheckBlocksAgainstODX();
// Error ending: restore step, reset if asked, 1 s wait, banner by the fatal flag, event,
// run-time and end lines, ODX_vDeinit.
void FLASH__vDoFlashError(time_t start, bool fatal, bool reset);

// Test hook: replaces the waits of the procedure (the second before an error banner, the
// security access delay); nullptr restores real sleeping.
void FLASH__vSetSleepHookForTest(void (*hook)(long ms));
