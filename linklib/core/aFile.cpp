#include "aFile.h"

#include <errno.h>
#include <new>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define aFILE_VALID 0xFEED

// The last transfer direction: a read/append stream must be repositioned
// between a write and a read, or the C library's behaviour is undefined.
typedef enum { sOpNone, sOpRead, sOpWrite } sLastOp;

struct aUnixFile {
  uint16_t check;
  int mode;
  FILE* fp;
  sLastOp lastOp;
};

static bool sValid(const aUnixFile* file) { return file && file->check == aFILE_VALID && file->fp; }

static bool sPathUsable(const char* path) { return path && path[0] && strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH; }

static bool sCanRead(const aUnixFile* file) { return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend; }

static bool sCanWrite(const aUnixFile* file) {
  return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

static void sSwitchTo(aUnixFile* file, sLastOp op) {
  if (file->lastOp != sOpNone && file->lastOp != op)
    fseek(file->fp, 0, SEEK_CUR);
  file->lastOp = op;
}

aFileRef aFile_Open(const char* path, int mode) {
  static const char* const sModes[] = {"rb", "wb", "a+b"};
  if (!sPathUsable(path) || mode < aFileModeReadOnly || mode > aFileModeAppend)
    return nullptr;
  aUnixFile* file = new (std::nothrow) aUnixFile;
  if (!file)
    return nullptr;
  file->fp = fopen(path, sModes[mode]);
  if (!file->fp) {
    delete file;
    return nullptr;
  }
  if (mode == aFileModeAppend)
    fseek(file->fp, 0, SEEK_END);
  file->mode = mode;
  file->lastOp = sOpNone;
  file->check = aFILE_VALID;
  return file;
}

aErr aFile_Close(aFileRef* file) {
  if (!file)
    return aErrParam;
  aUnixFile* f = *file;
  *file = nullptr;
  if (!sValid(f))
    return aErrParam;  // not ours to free
  int rc = fclose(f->fp);
  f->check = 0;
  f->fp = nullptr;
  delete f;
  return rc == 0 ? aErrNone : aErrIO;
}

// Moves bytes in the handle's direction `op`; `failure` when nothing moved although asked.
static aErr sTransfer(aUnixFile* file, sLastOp op, void* bytes, size_t length, size_t* count, aErr failure) {
  if (!sValid(file) || (!bytes && length))
    return aErrParam;
  if (!(op == sOpRead ? sCanRead(file) : sCanWrite(file)))
    return aErrMode;
  sSwitchTo(file, op);
  size_t n = 0;
  if (length)
    n = op == sOpRead ? fread(bytes, 1, length, file->fp) : fwrite(bytes, 1, length, file->fp);
  if (count)
    *count = n;
  return (n == 0 && length) ? failure : aErrNone;
}

aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* count) {
  return sTransfer(file, sOpRead, buffer, length, count, aErrEOF);
}

aErr aFile_Write(aFileRef file, const uint8_t* bytes, size_t length, size_t* count) {
  return sTransfer(file, sOpWrite, const_cast<uint8_t*>(bytes), length, count, aErrIO);
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length) {
  // Below 2 bytes there is no room for even one character besides the terminator.
  if (!sValid(file) || !buffer || size < 2 || size > INT32_MAX)
    return aErrParam;
  if (!sCanRead(file))
    return aErrMode;
  sSwitchTo(file, sOpRead);
  if (!fgets(buffer, static_cast<int>(size), file->fp)) {
    buffer[0] = '\0';
    if (length)
      *length = 0;
    return ferror(file->fp) ? aErrIO : aErrEOF;
  }
  size_t n = strlen(buffer);
  if (length)
    *length = n;
  if (n == size - 1 && buffer[n - 1] != '\n') {
    // A last line without line feed that just fits is complete, not cut.
    int next = fgetc(file->fp);
    if (next == EOF)
      return aErrNone;
    ungetc(next, file->fp);
    return aErrOverrun;
  }
  return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
  if (!sValid(file) || !format)
    return aErrParam;
  if (!sCanWrite(file))
    return aErrMode;
  sSwitchTo(file, sOpWrite);
  va_list args;
  va_start(args, format);
  int rc = vfprintf(file->fp, format, args);
  va_end(args);
  return rc < 0 ? aErrIO : aErrNone;
}

static aErr sSize(aUnixFile* file, long* size) {
  // Pending writes count towards the size.
  if (file->lastOp == sOpWrite && fflush(file->fp) != 0)
    return aErrIO;
  struct stat st;
  if (fstat(fileno(file->fp), &st) != 0)
    return aErrIO;
  *size = static_cast<long>(st.st_size);
  return aErrNone;
}

aErr aFile_Seek(aFileRef file, long offset, int origin) {
  if (!sValid(file))
    return aErrParam;
  long size = 0;
  if (sSize(file, &size) != aErrNone)
    return aErrIO;
  long base;
  switch (origin) {
    case aSeekStart: base = 0; break;
    case aSeekCurrent:
      base = ftell(file->fp);
      if (base < 0)
        return aErrIO;
      break;
    case aSeekEnd: base = size; break;
    default: return aErrParam;
  }
  // Both within 0..size, so the sum cannot overflow unless the offset is huge.
  if (offset < -base || offset > size - base)
    return aErrRange;
  if (fseek(file->fp, base + offset, SEEK_SET) != 0)
    return aErrIO;
  file->lastOp = sOpNone;
  return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t* size) {
  if (!sValid(file) || !size)
    return aErrParam;
  long bytes = 0;
  aErr err = sSize(file, &bytes);
  *size = err == aErrNone ? static_cast<size_t>(bytes) : 0;
  return err;
}

aErr aFile_GetPosition(aFileRef file, size_t* position) {
  if (!sValid(file) || !position)
    return aErrParam;
  long at = ftell(file->fp);
  if (at < 0)
    return aErrIO;
  // Position 0 is stored too; leaving the caller's old value would report a wrong place.
  *position = static_cast<size_t>(at);
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
  if (!sValid(file))
    return aErrParam;
  if (!sCanWrite(file) || setvbuf(file->fp, nullptr, _IONBF, 0) != 0)
    return aErrMode;
  return aErrNone;
}

aErr aFile_Delete(const char* path) {
  if (!path || !path[0])
    return aErrParam;
  if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH)
    return aErrFileNameLength;
  if (unlink(path) == 0)
    return aErrNone;
  switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
  }
}

bool aFile_Exists(const char* path) {
  if (!sPathUsable(path))
    return false;
  struct stat st;
  return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}
