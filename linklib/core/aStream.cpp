#include "aStream.h"

#include <new>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "aTime.h"

// How long a stream without a wait operation sleeps between two looks.
#define aSTREAM_POLL_PAUSE_US 500

struct aStream {
  uint16_t check;
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  aStreamWaitProc wait;
  aStreamInterruptProc interrupt;
  aStreamDescriptorProc descriptor;
  void* reference;
  // Push-back ring, owned by the reading side.
  uint8_t* ring;
  size_t count;
  size_t capacity;
  size_t readIndex;
  size_t writeIndex;
  uint32_t reconnects;  // touched only through __atomic builtins: both workers may reconnect
};

bool aStream_IsValid(const aStream* stream) { return stream && stream->check == aSTREAM_VALID; }

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write, aStreamDeleteProc del,
                        void* reference) {
  aStream* stream = new (std::nothrow) aStream;
  if (!stream)
    return nullptr;
  memset(stream, 0, sizeof(*stream));
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->del = del;
  stream->reference = reference;
  stream->check = aSTREAM_VALID;
  return stream;
}

void aStream_NoteReconnect(aStream* stream) {
  if (aStream_IsValid(stream))
    __atomic_add_fetch(&stream->reconnects, 1, __ATOMIC_RELAXED);
}

uint32_t aStream_GetReconnectCount(const aStream* stream) {
  return aStream_IsValid(stream) ? __atomic_load_n(&stream->reconnects, __ATOMIC_RELAXED) : 0;
}

aErr aStream_SetWait(aStream* stream, aStreamWaitProc wait) {
  if (!aStream_IsValid(stream))
    return aErrParam;
  stream->wait = wait;
  return aErrNone;
}

aErr aStream_SetInterrupt(aStream* stream, aStreamInterruptProc interrupt) {
  if (!aStream_IsValid(stream))
    return aErrParam;
  stream->interrupt = interrupt;
  return aErrNone;
}

aErr aStream_SetDescriptor(aStream* stream, aStreamDescriptorProc descriptor) {
  if (!aStream_IsValid(stream))
    return aErrParam;
  stream->descriptor = descriptor;
  return aErrNone;
}

int aStream_GetDescriptor(aStream* stream) {
  if (!aStream_IsValid(stream) || stream->count || !stream->descriptor)
    return -1;
  return stream->descriptor(stream->reference);
}

bool aStream_HasDescriptor(const aStream* stream) { return aStream_IsValid(stream) && stream->descriptor; }

bool aStream_CanInterrupt(const aStream* stream) { return aStream_IsValid(stream) && stream->interrupt; }

aErr aStream_Interrupt(aStream* stream) {
  if (!aStream_IsValid(stream))
    return aErrParam;
  return stream->interrupt ? stream->interrupt(stream->reference) : aErrNotReady;
}

aErr aStream_AwaitReadable(aStream* stream, unsigned long timeoutMS) {
  if (!aStream_IsValid(stream))
    return aErrParam;
  if (stream->count)
    return aErrNone;
  if (stream->wait)
    return stream->wait(timeoutMS, stream->reference);
  unsigned long pauseUS = timeoutMS * 1000ul < aSTREAM_POLL_PAUSE_US ? timeoutMS * 1000ul : aSTREAM_POLL_PAUSE_US;
  aTime_SleepUntilMonotonicUS(aTime_GetMonotonicUS() + pauseUS);
  return aErrNotReady;
}

aErr aStream_Destroy(aStream** stream) {
  if (!stream || !aStream_IsValid(*stream))
    return aErrParam;
  aStream* s = *stream;
  aErr err = s->del ? s->del(s->reference) : aErrNone;
  free(s->ring);
  s->check = 0;
  delete s;
  *stream = nullptr;
  return err;
}

// Grows the ring by one chunk when it holds capacity - 1 bytes, keeping the order.
static aErr sRingMakeRoom(aStream* s) {
  if (s->capacity != 0 && s->count < s->capacity - 1)
    return aErrNone;
  size_t capacity = s->capacity + aSTREAM_PUSHBACK_CHUNK;
  uint8_t* ring = static_cast<uint8_t*>(malloc(capacity));
  if (!ring)
    return aErrMemory;
  for (size_t i = 0; i < s->count; i++)
    ring[i] = s->ring[(s->readIndex + i) % s->capacity];
  free(s->ring);
  s->ring = ring;
  s->capacity = capacity;
  s->readIndex = 0;
  s->writeIndex = s->count;
  return aErrNone;
}

aErr aStream_PushBack(aStream* stream, const uint8_t* bytes, size_t n) {
  if (!aStream_IsValid(stream) || (!bytes && n))
    return aErrParam;
  for (size_t i = 0; i < n; i++) {
    aErr err = sRingMakeRoom(stream);
    if (err)
      return err;
    stream->ring[stream->writeIndex] = bytes[i];
    stream->writeIndex = (stream->writeIndex + 1) % stream->capacity;
    stream->count++;
  }
  return aErrNone;
}

size_t aStream_PushBackCapacity(const aStream* stream) { return aStream_IsValid(stream) ? stream->capacity : 0; }

static aErr sNextByte(aStream* s, uint8_t* byte) {
  if (s->count) {
    *byte = s->ring[s->readIndex];
    s->readIndex = (s->readIndex + 1) % s->capacity;
    s->count--;
    return aErrNone;
  }
  return s->get(byte, s->reference);
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t n) {
  if (!aStream_IsValid(stream) || !buffer)
    return aErrParam;
  if (!stream->get)
    return aErrMode;
  if (n == 1) {
    // The link engine reads byte by byte; no scratch space is needed for one byte.
    return sNextByte(stream, buffer);
  }
  uint8_t* scratch = static_cast<uint8_t*>(malloc(n ? n : 1));
  if (!scratch)
    return aErrResource;
  size_t got = 0;
  aErr err = aErrNone;
  while (got < n && (err = sNextByte(stream, &scratch[got])) == aErrNone)
    got++;
  if (got < n && err == aErrNotReady) {
    // All or nothing: the bytes taken come back first on the next read.
    aErr pushed = aStream_PushBack(stream, scratch, got);
    free(scratch);
    return pushed ? pushed : aErrNotReady;
  }
  if (err == aErrNone || err == aErrEOF)
    memcpy(buffer, scratch, got);
  free(scratch);
  return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t n) {
  if (!aStream_IsValid(stream) || !bytes)
    return aErrParam;
  if (!stream->write && !stream->put)
    return aErrMode;
  if (stream->write && (n > 1 || !stream->put))
    return stream->write(bytes, n, stream->reference);
  for (size_t i = 0; i < n; i++) {
    aErr err = stream->put(bytes[i], stream->reference);
    if (err)
      return err;
  }
  return aErrNone;
}

aErr aStream_Flush(aStream* source, aStream* destination) {
  if (!aStream_IsValid(source) || !aStream_IsValid(destination))
    return aErrParam;
  if (!source->get || !destination->put)
    return aErrMode;
  for (;;) {
    uint8_t byte;
    aErr err = source->get(&byte, source->reference);
    if (err == aErrEOF)
      return aErrNone;
    if (err)
      return err;
    err = destination->put(byte, destination->reference);
    if (err)
      return err;
  }
}

// A record ends where its last bytes equal the separator. A separator that
// other bytes interrupt is ordinary data; one cut by a full buffer is not seen.
aErr aStream_ReadRecord(aStream* stream, char* buffer, size_t size, size_t* length, const char* separator,
                        size_t separatorLength) {
  if (!aStream_IsValid(stream) || !buffer || size == 0 || (!separator && separatorLength))
    return aErrParam;
  static const char kNul = '\0';
  if (separatorLength == 0) {
    separator = &kNul;
    separatorLength = 1;
  }
  size_t stored = 0;
  aErr err = aErrOverrun;
  while (stored < size - 1) {
    uint8_t byte;
    err = aStream_Read(stream, &byte, 1);
    if (err)
      break;
    buffer[stored++] = static_cast<char>(byte);
    if (stored >= separatorLength && memcmp(buffer + stored - separatorLength, separator, separatorLength) == 0) {
      stored -= separatorLength;
      break;
    }
    err = aErrOverrun;
  }
  if (err == aErrNotReady && stored) {
    // Keep the partial record in the stream so a later call reads it whole.
    aStream_PushBack(stream, reinterpret_cast<const uint8_t*>(buffer), stored);
    stored = 0;
  }
  buffer[stored] = '\0';
  if (length)
    *length = stored;
  return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length, const char* separator,
                         size_t separatorLength) {
  if (!aStream_IsValid(stream) || (!bytes && length) || (!separator && separatorLength))
    return aErrParam;
  aErr err = length ? aStream_Write(stream, bytes, length) : aErrNone;
  if (!err && separatorLength)
    err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(separator), separatorLength);
  return err;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
  return aStream_ReadRecord(stream, buffer, size, nullptr, "", 1);
}

// The written form is text, separator, NUL; reading stops after that NUL so
// that the two forms round-trip.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* separator) {
  if (!separator)
    return aErrParam;
  return aStream_ReadRecord(stream, buffer, size, nullptr, separator, strlen(separator) + 1);
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
  if (!text)
    return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text), "", 1);
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separator) {
  if (!text || !separator)
    return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text), separator,
                             strlen(separator) + 1);
}
