#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "aDefs.h"
#include "aError.h"
#include "aUEI.h"
#include "aVersion.h"

namespace {

struct ErrorRow {
  int code;
  aErr value;
  const char* name;
  const char* description;
};

const ErrorRow kErrors[] = {
    {0, aErrNone, "aErrNone", "Success, no error"},
    {1, aErrMemory, "aErrMemory", "Memory allocation"},
    {2, aErrParam, "aErrParam", "Invalid parameter"},
    {3, aErrNotFound, "aErrNotFound", "Not found"},
    {4, aErrFileNameLength, "aErrFileNameLength", "File name too long"},
    {5, aErrBusy, "aErrBusy", "Resource busy"},
    {6, aErrIO, "aErrIO", "Input/Output error"},
    {7, aErrMode, "aErrMode", "Invalid Mode"},
    {8, aErrWrite, "aErrWrite", "Write error"},
    {9, aErrRead, "aErrRead", "Read error"},
    {10, aErrEOF, "aErrEOF", "End of file"},
    {11, aErrNotReady, "aErrNotReady", "Not ready, no bytes available"},
    {12, aErrPermission, "aErrPermission", "Insufficient permissions"},
    {13, aErrRange, "aErrRange", "Value out of range"},
    {14, aErrSize, "aErrSize", "Invalid Size"},
    {15, aErrOverrun, "aErrOverrun", "Buffer/queue overrun"},
    {16, aErrParse, "aErrParse", "Parse error"},
    {17, aErrConfiguration, "aErrConfiguration", "Configuration error"},
    {18, aErrTimeout, "aErrTimeout", "Timeout occurred"},
    {19, aErrInitialization, "aErrInitialization", "Initialization error"},
    {20, aErrVersion, "aErrVersion", "Invalid version"},
    {21, aErrUnimplemented, "aErrUnimplemented", "Functionality unimplemented"},
    {22, aErrDuplicate, "aErrDuplicate", "Duplicate request"},
    {23, aErrCancel, "aErrCancel", "Cancelation occurred, or did not complete"},
    {24, aErrPacket, "aErrPacket", "Packet byte invalid"},
    {25, aErrConnection, "aErrConnection", "Connection error"},
    {26, aErrIndexRange, "aErrIndexRange", "Index out of range"},
    {27, aErrShortCommand, "aErrShortCommand", "Kovalink command to short"},
    {28, aErrInvalidEntity, "aErrInvalidEntity", "Invalid entity error"},
    {29, aErrInvalidOption, "aErrInvalidOption", "Invalid option code"},
    {30, aErrResource, "aErrResource", "Resource unavailable"},
    {31, aErrMedia, "aErrMedia", "Media error"},
    {32, aErrAsyncReturn, "aErrAsyncReturn", "Asynchronous return error"},
    {33, aErrStreamStale, "aErrStreamStale", "Stream value is stale"},
    {34, aErrUnknown, "aErrUnknown", "Unknown error"},
};

}  // namespace

TEST(aError, EveryCodeHasItsNameAndDescription) {
  ASSERT_EQ(sizeof(kErrors) / sizeof(kErrors[0]), 35u);
  for (const ErrorRow& row : kErrors) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(static_cast<int>(row.value), row.code);
    EXPECT_STREQ(aError_GetErrorText(row.code), row.name);
    EXPECT_STREQ(aError_GetErrorDescription(row.code), row.description);
  }
  for (int outside : {35, 36, -1, -35, INT_MAX, INT_MIN}) {
    EXPECT_STREQ(aError_GetErrorText(outside), "aErrUnknown") << outside;
    EXPECT_STREQ(aError_GetErrorDescription(outside), "Unknown error") << outside;
  }
}

TEST(aVersion, PackedWordFieldsAndText) {
  EXPECT_EQ(aVersion_ParseMajor(0xF0000000u), 15u);
  EXPECT_EQ(aVersion_ParseMajor(0x0FFFFFFFu), 0u);
  EXPECT_EQ(aVersion_ParseMinor(0x0F000000u), 15u);
  EXPECT_EQ(aVersion_ParseMinor(0xF0FFFFFFu), 0u);
  EXPECT_EQ(aVersion_ParsePatch(0xFFFFFFFFu), 0xFFFFFFu);
  EXPECT_EQ(aVersion_ParsePatch(0xFF000000u), 0u);

  char text[32];
  EXPECT_EQ(aVersion_ParseString(0x2100001A, text, sizeof(text)), 6);
  EXPECT_STREQ(text, "2.1.26");
  EXPECT_EQ(aVersion_ParseString(0xFFFFFFFFu, text, sizeof(text)), 14);
  EXPECT_STREQ(text, "15.15.16777215");
  // Truncated like formatted printing: the full length is still returned.
  char small[4];
  EXPECT_EQ(aVersion_ParseString(0x2100001A, small, sizeof(small)), 6);
  EXPECT_STREQ(small, "2.1");
}

TEST(aVersion, LibraryVersionComparisonAndFeatures) {
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 9);
  EXPECT_EQ(aVersion_GetPatch(), 26u);
  EXPECT_STREQ(aVersion_GetString(), "2.9.26");
  EXPECT_EQ(aVersion_GetString(), aVersion_GetString());  // one static buffer

  EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 9, 26, 2, 9, 26));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 9, 26, 2, 10, 0));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 9, 26, 2, 9, 27));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 9, 26, 2, 8, 255));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(1, 255, 255, 2, 0, 0));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 9, 26));
  EXPECT_TRUE(aVersion_IsAtLeast(1, 12, 0));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 9, 27));

  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature("VERS"));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
}

TEST(aDefs, ModelNames) {
  const struct {
    uint32_t code;
    const char* name;
  } models[] = {{4, "Tavrel"},  {5, "Morlix"},  {13, "Quessa"}, {14, "Darnow"}, {15, "Felkor"},
                {16, "Grivan"}, {17, "Holvex"}, {18, "Jastre"}, {19, "Kirrow"}, {20, "Lumbra"},
                {21, "Nespar"}, {22, "Orvile"}, {23, "Pestra"}, {24, "Rindle"}};
  for (const auto& m : models)
    EXPECT_STREQ(aDefs_GetModelName(m.code), m.name) << m.code;
  for (uint32_t other : {0u, 3u, 6u, 12u, 25u, 255u, 0xFFFFFFFFu})
    EXPECT_STREQ(aDefs_GetModelName(other), "Unknown") << other;
}

TEST(aUEI, BigEndianOnAnyHost) {
  const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(aUEI_RetrieveShort(bytes), 0x1234);
  EXPECT_EQ(aUEI_RetrieveInt(bytes), 0x12345678u);
  const uint8_t high[] = {0xFE, 0xDC, 0xBA, 0x98};
  EXPECT_EQ(aUEI_RetrieveShort(high), 0xFEDC);  // no sign extension
  EXPECT_EQ(aUEI_RetrieveInt(high), 0xFEDCBA98u);

  uint8_t out[6] = {0};
  aUEI_StoreShort(out + 1, 0xA1B2);
  aUEI_StoreInt(out + 2, 0xC3D4E5F6);
  const uint8_t expected[] = {0x00, 0xA1, 0xC3, 0xD4, 0xE5, 0xF6};
  EXPECT_EQ(memcmp(out, expected, sizeof(out)), 0);

  uint8_t words[12] = {0x00, 0x00, 0x00, 0x01, 0x12, 0x34, 0x56, 0x78, 0xAA, 0xBB, 0xCC, 0xDD};
  aUEI_ModifyIntBuffer(words, 2);
  uint32_t host[2];
  memcpy(host, words, sizeof(host));
  EXPECT_EQ(host[0], 1u);
  EXPECT_EQ(host[1], 0x12345678u);
  EXPECT_EQ(words[8], 0xAA);  // the third word was not asked for
}
