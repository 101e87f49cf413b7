#include "aVersion.h"

#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char* const sPhaseSeparator = ".";

struct Feature {
  const char* name;
  const char* description;
};
const Feature sFeatures[] = {{"VERSION", "Version Query API"}};

}  // namespace

uint32_t aVersion_ParseMajor(uint32_t word) { return (word >> 28) & 0x0F; }
uint32_t aVersion_ParseMinor(uint32_t word) { return (word >> 24) & 0x0F; }
uint32_t aVersion_ParsePatch(uint32_t word) { return word & 0x00FFFFFF; }

int aVersion_ParseString(uint32_t word, char* buffer, size_t size) {
  return snprintf(buffer, size, "%d.%d.%d", (int)aVersion_ParseMajor(word), (int)aVersion_ParseMinor(word),
                  (int)aVersion_ParsePatch(word));
}

uint8_t aVersion_GetMajor(void) { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor(void) { return aVERSION_MINOR; }
uint32_t aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void) {
  static char sVersion[15];
  static std::once_flag sOnce;
  std::call_once(sOnce, [] {
    snprintf(sVersion, sizeof(sVersion), "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, sPhaseSeparator,
             aVERSION_PATCH);
  });
  return sVersion;
}

bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch, uint8_t reqMajor, uint8_t reqMinor,
                               uint8_t reqPatch) {
  if (major != reqMajor)
    return major > reqMajor;
  if (minor != reqMinor)
    return minor > reqMinor;
  return patch >= reqPatch;
}

bool aVersion_IsAtLeast(uint8_t reqMajor, uint8_t reqMinor, uint8_t reqPatch) {
  return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, reqMajor, reqMinor, reqPatch);
}

bool aVersion_HasFeature(const char* name) {
  if (!name)
    return false;
  for (const Feature& f : sFeatures)
    if (strcmp(f.name, name) == 0)
      return true;
  return false;
}

char* aVersion_GetFeatureList(void) {
  size_t total = 1;
  for (const Feature& f : sFeatures)
    total += strlen(f.name) + 3 + strlen(f.description) + 1;
  char* list = static_cast<char*>(calloc(total, 1));
  if (!list)
    return nullptr;
  bool first = true;
  for (const Feature& f : sFeatures) {
    if (!first)
      strcat(list, "\n");
    strcat(list, f.name);
    strcat(list, " - ");
    strcat(list, f.description);
    first = false;
  }
  return list;
}

void aVersion_DestroyFeatureList(char** list) {
  if (!list)
    return;
  free(*list);
  *list = nullptr;
}
