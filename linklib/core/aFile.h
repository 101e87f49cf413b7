// Buffered files behind a validated handle.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#define aFILE_MAX_PATH 4096

// Open modes: read an existing file; create or truncate for writing; create if
// missing for reading and appending (positioned at the end). No text translation.
#define aFileModeReadOnly 0
#define aFileModeWriteOnly 1
#define aFileModeAppend 2
#define aFileModeUnknown 3

// Seek origins.
#define aSeekStart 0
#define aSeekCurrent 1
#define aSeekEnd 2

typedef struct aUnixFile aUnixFile;
typedef aUnixFile* aFileRef;

// Nothing for a missing, empty or over-long path, an unknown mode, or a file
// that cannot be opened.
aFileRef aFile_Open(const char* path, int mode);
aErr aFile_Close(aFileRef* file);
aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* count);
aErr aFile_Write(aFileRef file, const uint8_t* bytes, size_t length, size_t* count);
// One line with its line feed, at most size - 1 characters; aErrOverrun when the
// buffer filled before a line feed (the rest stays for the next call).
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);
aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The target must lie between 0 and the file size, both included.
aErr aFile_Seek(aFileRef file, long offset, int origin);
aErr aFile_GetSize(aFileRef file, size_t* size);
aErr aFile_GetPosition(aFileRef file, size_t* position);
aErr aFile_SetUnbuffered(aFileRef file);
aErr aFile_Delete(const char* path);
// True only for an existing entry that is not a directory.
bool aFile_Exists(const char* path);
