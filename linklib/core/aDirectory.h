// Path joining and directory services of the link core.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#define aDIR_PATH_SEP "/"
#define aDIR_PATH_SEP_CHAR '/'
// Size of the path buffer a listing hands to its callback.
#define aDIR_LIST_PATH_SIZE 2048
// Most further components aDirectory_BuildPath accepts after the first.
#define aDIR_MAX_FURTHER_COMPONENTS 10

typedef struct aDirectoryListData {
  const char* path;  // directory, separator, entry name; owned by the listing
  uint32_t size;     // entry size in bytes
  uint8_t isDirectory;
} aDirectoryListData;

// Return false to end the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* user);

// Joins `first` and the further components (ended by a null pointer) into
// `buffer`, inserting "/" only where neither side already has one.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name);

bool aDirectory_Exists(const char* path);
// Creates `path` and every missing parent with `mode`.
aErr aDirectory_Ensure(const char* path, uint16_t mode);
// Calls `callback` for every entry, "." and ".." included.
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* user);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);

aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
// The user's home directory, always terminated; empty (with an error code)
// when there is none or it does not fit.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
