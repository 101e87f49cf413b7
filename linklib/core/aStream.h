// Byte streams: a handle with get, put, write and delete operations over a
// transport, plus a push-back ring that lets a reader hand bytes back.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#define aSTREAM_VALID 0x4321
// The push-back ring starts at this size and grows by it when full.
#define aSTREAM_PUSHBACK_CHUNK 512

// Transport operations; `reference` is the transport record given to aStream_Create.
// get returns aErrNotReady when no byte is there yet and aErrEOF at the end of data.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t length, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);
// Blocks until get may find a byte or report a failure, or until timeoutMS
// passes (aErrNotReady). Belongs to the reading side, like get.
typedef aErr (*aStreamWaitProc)(unsigned long timeoutMS, void* reference);
// Ends a wait that is in progress (or the next one) at once. May be called
// from any thread.
typedef aErr (*aStreamInterruptProc)(void* reference);
// A descriptor that polls readable when get may find a byte; -1 when get
// should be tried at once (bytes already buffered, or a connection to repair).
typedef int (*aStreamDescriptorProc)(void* reference);

typedef struct aStream aStream;

// Any operation may be null. Returns no stream when memory is exhausted.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference);
// Calls the delete operation (its result is returned), frees the stream and
// clears the caller's pointer.
aErr aStream_Destroy(aStream** stream);
bool aStream_IsValid(const aStream* stream);
// Gives the stream a transport wait; the socket, serial and USB transports have one.
aErr aStream_SetWait(aStream* stream, aStreamWaitProc wait);
// Gives the stream a way to end a transport wait early; the socket and serial
// transports have one.
aErr aStream_SetInterrupt(aStream* stream, aStreamInterruptProc interrupt);
// Gives the stream a descriptor to poll (socket and serial transports), so
// that one thread may wait for input on several streams at once.
aErr aStream_SetDescriptor(aStream* stream, aStreamDescriptorProc descriptor);
// -1 when a read should be tried at once, or the stream has no descriptor.
int aStream_GetDescriptor(aStream* stream);
bool aStream_HasDescriptor(const aStream* stream);
// True when a wait of this stream can be ended early by aStream_Interrupt.
bool aStream_CanInterrupt(const aStream* stream);
// Ends the reader's wait in progress, or else its next one, at once (the wait
// then reports that a read may find a byte). aErrNotReady for a stream that
// cannot be interrupted.
aErr aStream_Interrupt(aStream* stream);

// Reads exactly n bytes, push-back bytes first. All or nothing: when the
// transport runs dry (aErrNotReady) the bytes taken are pushed back. With
// aErrEOF the buffer holds the bytes read before the end.
aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t n);
// Waits, at most timeoutMS, until a read may find a byte: at once when bytes
// were pushed back, else through the transport's wait. A stream without one
// is polled: the call sleeps a little and returns aErrNotReady.
aErr aStream_AwaitReadable(aStream* stream, unsigned long timeoutMS);
// n > 1 with a write operation: one write call; otherwise put byte by byte.
aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t n);
// Copies source to destination (get/put) until the source reports aErrEOF.
aErr aStream_Flush(aStream* source, aStream* destination);

// Hands bytes back to the stream; later reads return them first, in order.
aErr aStream_PushBack(aStream* stream, const uint8_t* bytes, size_t n);
// Current size of the push-back ring (0 before its first use).
size_t aStream_PushBackCapacity(const aStream* stream);

// A transport that connects again on its own (a TCP peer that closed) notes
// it here, so that the link above can tell a module that went away and came
// back from one that never left.
void aStream_NoteReconnect(aStream* stream);
// Reconnections noted since the stream was created (0 for no stream).
uint32_t aStream_GetReconnectCount(const aStream* stream);

// Record forms. ReadRecord reads bytes until the separator (not stored) or
// until size - 1 bytes are stored, then NUL-terminates; `length` (optional)
// receives the number of bytes stored. A separator of length 0 means NUL.
aErr aStream_ReadRecord(aStream* stream, char* buffer, size_t size, size_t* length,
                        const char* separator, size_t separatorLength);
// Writes the bytes followed by the separator bytes.
aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length,
                         const char* separator, size_t separatorLength);
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* separator);
// Writes the text and its NUL.
aErr aStream_WriteCString(aStream* stream, const char* text);
// Writes the text, the separator and a NUL.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separator);

// --- Transports. Each creator stores the new stream through its last argument. ---

// Files (get only / put and write). Any failure gives aErrResource.
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

// Serial ports (termios).
typedef enum { aSerial_Bits_8 = 0, aSerial_Bits_7 = 1 } aSerial_Bits;
typedef enum { aSerial_Stop_bits_1 = 0, aSerial_Stop_bits_2 = 1 } aSerial_Stop_bits;
// Baud index: 0 = 2400, 1 = 4800, 2 = 9600, 3 = 19200, 4 = 38400, 5 = 57600,
// 6 = 115200, 7 = 230400; any other index sets the line speed to 0.
// `parity` non-zero selects even parity.
aErr aStream_CreateSerial(const char* devicePath, int baudIndex, int parity, int bits, int stopBits,
                          aStream** stream);

// TCP: address is IPv4 in network byte order, port in host order.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);

// USB module by serial number: the kernel node "/dev/kovalink.%08X" when it
// exists, else libusb.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);
