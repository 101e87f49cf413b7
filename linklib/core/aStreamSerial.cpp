// Serial-port transport over termios.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <new>
#include <poll.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "aAccess.h"
#include "aStream.h"
#include "aStreamWake.h"

#define aSERIAL_VALID 0xBEEF
#define aSERIAL_PATH_MAX 4096
#define aSERIAL_READ_BUFFER 256

typedef struct aUnixSerialStream {
  uint16_t check;
  int baudIndex;
  char path[aSERIAL_PATH_MAX + 1];
  int fd;
  struct termios saved;
  struct termios current;
  bool savedValid;
  int wakeFd;  // ends the reader's wait early (-1: it cannot be)
  // Reader side only: bytes read in one call and not yet handed out.
  uint8_t readBuffer[aSERIAL_READ_BUFFER];
  size_t readPosition;
  size_t available;
} aUnixSerialStream;

static const speed_t kBaudTable[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

static aUnixSerialStream* sRecord(void* reference) {
  aUnixSerialStream* s = static_cast<aUnixSerialStream*>(reference);
  return (s && s->check == aSERIAL_VALID) ? s : nullptr;
}

// Reads what has arrived into the record's buffer.
static aErr sFill(aUnixSerialStream* s) {
  // A read of 0 bytes cannot tell "nothing yet" from a port that went away
  // (a hung-up terminal reads 0 forever); the poll flags can.
  struct pollfd p = {s->fd, POLLIN, 0};
  if (poll(&p, 1, 0) < 0)
    return errno == EINTR ? aErrNotReady : aErrIO;
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
    return aErrIO;
  if (!(p.revents & POLLIN))
    return aErrNotReady;
  ssize_t n = read(s->fd, s->readBuffer, sizeof(s->readBuffer));
  if (n > 0) {
    s->readPosition = 0;
    s->available = static_cast<size_t>(n);
    return aErrNone;
  }
  if (n == 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))
    return aErrNotReady;
  return aErrIO;
}

static aErr cbSerialGet(uint8_t* byte, void* reference) {
  aUnixSerialStream* s = sRecord(reference);
  if (!s)
    return aErrParam;
  if (!s->available) {
    aErr err = sFill(s);
    if (err)
      return err;
  }
  *byte = s->readBuffer[s->readPosition++];
  s->available--;
  return aErrNone;
}

// A hang-up or error counts as readable: the next get reports it.
static aErr cbSerialWait(unsigned long timeoutMS, void* reference) {
  aUnixSerialStream* s = sRecord(reference);
  if (!s)
    return aErrParam;
  if (s->available)
    return aErrNone;
  return aStreamWake_Poll(s->fd, s->wakeFd, timeoutMS);
}

static int cbSerialDescriptor(void* reference) {
  aUnixSerialStream* s = sRecord(reference);
  return s && !s->available ? s->fd : -1;
}

static aErr cbSerialInterrupt(void* reference) {
  aUnixSerialStream* s = sRecord(reference);
  return s ? aStreamWake_Signal(s->wakeFd) : aErrParam;
}

static aErr cbSerialWrite(const uint8_t* bytes, size_t length, void* reference) {
  aUnixSerialStream* s = sRecord(reference);
  if (!s)
    return aErrParam;
  ssize_t n = write(s->fd, bytes, length);
  return (n >= 0 && static_cast<size_t>(n) == length) ? aErrNone : aErrIO;
}

static aErr cbSerialPut(uint8_t byte, void* reference) { return cbSerialWrite(&byte, 1, reference); }

static aErr cbSerialDelete(void* reference) {
  aUnixSerialStream* s = sRecord(reference);
  if (!s)
    return aErrParam;
  if (s->fd >= 0) {
    if (s->savedValid)
      tcsetattr(s->fd, TCSANOW, &s->saved);
    close(s->fd);
  }
  aStreamWake_Close(&s->wakeFd);
  s->check = 0;
  delete s;
  return aErrNone;
}

static aErr sOpenPort(aUnixSerialStream* s, int parity, int bits, int stopBits) {
  s->fd = open(s->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (s->fd < 0 && errno == EACCES) {
    aAccess_DeniedSerial(s->path);
    return aErrPermission;
  }
  if (s->fd < 0)
    return errno == ENOENT ? aErrNotFound : aErrIO;
  // The port is opened without blocking only so that the open cannot hang on
  // modem lines; the reads return at once through VMIN/VTIME 0 instead.
  if (fcntl(s->fd, F_SETFL, 0) != 0)
    return aErrIO;
  if (tcgetattr(s->fd, &s->saved) != 0)
    return aErrIO;
  s->savedValid = true;
  s->current = s->saved;
  s->current.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  s->current.c_oflag = 0;
  s->current.c_lflag = 0;
  s->current.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (bits == aSerial_Bits_7 ? CS7 : CS8) |
                       (stopBits == aSerial_Stop_bits_2 ? CSTOPB : 0);
  s->current.c_cc[VMIN] = 0;
  s->current.c_cc[VTIME] = 0;
  speed_t speed = (s->baudIndex >= 0 && s->baudIndex < 8) ? kBaudTable[s->baudIndex] : B0;
  if (cfsetispeed(&s->current, speed) != 0 || cfsetospeed(&s->current, speed) != 0)
    return aErrIO;
  if (tcsetattr(s->fd, TCSANOW, &s->current) != 0 || tcflush(s->fd, TCIOFLUSH) != 0)
    return aErrIO;
  return aErrNone;
}

aErr aStream_CreateSerial(const char* devicePath, int baudIndex, int parity, int bits, int stopBits,
                          aStream** stream) {
  if (!devicePath || !stream || bits < 0 || bits > 1 || stopBits < 0 || stopBits > 1)
    return aErrParam;
  if (strlen(devicePath) > aSERIAL_PATH_MAX)
    return aErrFileNameLength;
  aUnixSerialStream* s = new (std::nothrow) aUnixSerialStream;
  if (!s)
    return aErrMemory;
  memset(s, 0, sizeof(*s));
  s->check = aSERIAL_VALID;
  s->baudIndex = baudIndex;
  s->fd = -1;
  s->wakeFd = aStreamWake_Create();
  strcpy(s->path, devicePath);
  aStream* made = aStream_Create(cbSerialGet, cbSerialPut, cbSerialWrite, cbSerialDelete, s);
  if (!made) {
    cbSerialDelete(s);
    return aErrMemory;
  }
  aStream_SetWait(made, cbSerialWait);
  aStream_SetDescriptor(made, cbSerialDescriptor);
  if (s->wakeFd >= 0)
    aStream_SetInterrupt(made, cbSerialInterrupt);
  aErr err = sOpenPort(s, parity, bits, stopBits);
  if (err) {
    aStream_Destroy(&made);
    return err;
  }
  *stream = made;
  return aErrNone;
}
