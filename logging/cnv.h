// Text/number conversions: hexadecimal, decimal and BCD. Stateless, caller-owned buffers.
#pragma once

#include <cstdint>

// Trims white space in place; returns a pointer to the first non-white-space character.
char* CNV_pcTrimwhitespace(char* text);
// Writes 2*count upper-case hex digits and a NUL; the buffer must hold 2*count+1 characters.
uint32_t CNV_u32ByteArrayToHexStr(const uint8_t* bytes, uint32_t count, char* text);
// Pairs hex digits in order of appearance, skipping anything else; returns the bytes stored.
uint32_t CNV_u32HexStrToByteArray(const char* text, uint8_t* bytes);
// "%u" conversion; false (and a logged error) when no number can be read.
bool CNV_boDecStrToUInt32(const char* text, uint32_t* value);
// "%x" conversion; false (and a logged error) when no number can be read.
bool CNV_boHexStrToUInt32(const char* text, uint32_t* value);
uint8_t CNV_u8BcdToDec(uint8_t bcd);
// Values above 99 log an error and give 0x99.
uint8_t CNV_u8DecToBcd(uint8_t value);
// Upper-case hex with 2, 4, 6 or 8 digits by the highest non-zero byte; buffer of 9 characters.
void CNV_vDecToHexStr(uint32_t value, char* text);
