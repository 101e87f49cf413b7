// File transport: streams over the link core's file handles.
#include "aStream.h"

#include "aFile.h"

static aErr cbFileGet(uint8_t* byte, void* reference) {
  size_t count = 0;
  aErr err = aFile_Read(static_cast<aFileRef>(reference), byte, 1, &count);
  if (err == aErrNone && count != 1)
    return aErrEOF;
  return err;
}

static aErr cbFileWrite(const uint8_t* bytes, size_t length, void* reference) {
  size_t count = 0;
  aErr err = aFile_Write(static_cast<aFileRef>(reference), bytes, length, &count);
  if (err == aErrNone && count != length)
    return aErrIO;
  return err;
}

static aErr cbFilePut(uint8_t byte, void* reference) { return cbFileWrite(&byte, 1, reference); }

static aErr cbFileDelete(void* reference) {
  aFileRef file = static_cast<aFileRef>(reference);
  return aFile_Close(&file);
}

static aErr sCreateFileStream(const char* path, bool output, aStream** stream) {
  if (!path || !stream)
    return aErrResource;
  aFileRef file = aFile_Open(path, output ? aFileModeWriteOnly : aFileModeReadOnly);
  if (!file)
    return aErrResource;
  aStream* made = output ? aStream_Create(nullptr, cbFilePut, cbFileWrite, cbFileDelete, file)
                         : aStream_Create(cbFileGet, nullptr, nullptr, cbFileDelete, file);
  if (!made) {
    aFile_Close(&file);
    return aErrResource;
  }
  *stream = made;
  return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStream** stream) { return sCreateFileStream(path, false, stream); }

aErr aStream_CreateFileOutput(const char* path, aStream** stream) { return sCreateFileStream(path, true, stream); }
