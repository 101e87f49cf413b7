// The packed firmware version word and the link library's own version.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 9
#define aVERSION_PATCH 26

uint32_t aVersion_ParseMajor(uint32_t word);
uint32_t aVersion_ParseMinor(uint32_t word);
uint32_t aVersion_ParsePatch(uint32_t word);
// Formats "major.minor.patch" into buffer; returns the formatted length.
int aVersion_ParseString(uint32_t word, char* buffer, size_t size);

uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint32_t aVersion_GetPatch(void);
const char* aVersion_GetString(void);

bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch,
                               uint8_t reqMajor, uint8_t reqMinor, uint8_t reqPatch);
bool aVersion_IsAtLeast(uint8_t reqMajor, uint8_t reqMinor, uint8_t reqPatch);
bool aVersion_HasFeature(const char* name);
// Newly allocated "name - description" list; release with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);
