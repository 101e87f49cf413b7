// TCP transport. The link's reader (get) and writer (write) both may find the
// connection gone and reconnect. They send and receive side by side under a
// shared lock, so that a reply arriving during a send is taken at once; the
// connection is made, replaced and closed only under the exclusive lock, and a
// repair is skipped when the other side has already made a new connection.
// The reader takes whatever has arrived in one call and hands it out byte by
// byte, so a frame costs one system call rather than two per byte.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "aStream.h"
#include "aStreamWake.h"
#include "aTime.h"

#define aSOCKET_VALID 0xDEAD
#define aSOCKET_CONNECTED 0x01
#define aSOCKET_WRITE_ATTEMPTS 9
#define aSOCKET_RETRY_MS 60
#define aSOCKET_READ_BUFFER 512

typedef struct aSocketStream {
  uint16_t check;
  uint16_t port;
  struct sockaddr_in address;
  int fd;
  uint32_t flags;
  uint32_t generation;  // connections made so far
  pthread_rwlock_t lock;  // fd, flags and generation change only when held exclusively
  aStream* owner;  // the stream this record serves, told of every reconnection
  int wakeFd;      // ends the reader's wait early (-1: it cannot be)
  // Reader side only: bytes received and not yet handed out.
  uint8_t readBuffer[aSOCKET_READ_BUFFER];
  size_t readPosition;
  size_t available;
  // The last receive took less than the buffer holds, so the socket was empty
  // then: the next look reports nothing without asking again, as a reader
  // that finds nothing waits for input anyway (one system call less a frame).
  bool drained;
} aSocketStream;

static aSocketStream* sRecord(void* reference) {
  aSocketStream* s = static_cast<aSocketStream*>(reference);
  return (s && s->check == aSOCKET_VALID) ? s : nullptr;
}

static void sCloseSocket(aSocketStream* s) {
  if (s->fd < 0)
    return;
  s->flags &= ~aSOCKET_CONNECTED;
  close(s->fd);
  s->fd = -1;
  aTime_MSSleep(10);
}

static aErr sConnect(aSocketStream* s);

// Makes a lost connection again, unless the other side already has since
// `generation` was read; the owner counts it.
static aErr sRepair(aSocketStream* s, uint32_t generation) {
  pthread_rwlock_wrlock(&s->lock);
  aErr err = aErrNone;
  if (s->generation == generation) {
    s->flags &= ~aSOCKET_CONNECTED;
    err = sConnect(s);
    if (!err && s->owner)
      aStream_NoteReconnect(s->owner);
  } else if (!(s->flags & aSOCKET_CONNECTED)) {
    err = aErrConnection;
  }
  pthread_rwlock_unlock(&s->lock);
  return err;
}

// Connects (or reconnects) the record; the caller holds its lock exclusively.
static aErr sConnect(aSocketStream* s) {
  if (!s || s->check != aSOCKET_VALID)
    return aErrInitialization;
  sCloseSocket(s);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0)
    return aErrIO;
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&s->address), sizeof(s->address)) != 0) {
    int e = errno;
    close(fd);
    return (e == EAGAIN || e == ECONNRESET || e == ETIMEDOUT || e == ECONNREFUSED) ? aErrConnection : aErrIO;
  }
  s->fd = fd;
  s->flags |= aSOCKET_CONNECTED;
  s->generation++;
  int on = 1;
  struct timeval none = {0, 0};
  // Linger 0: closing resets the connection instead of lingering in TIME_WAIT.
  struct linger lingerOff = {1, 0};
  int fl = fcntl(fd, F_GETFL, 0);
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOff, sizeof(lingerOff)) != 0 || fl < 0 ||
      fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0)
    return aErrIO;
  return aErrNone;
}

static bool sConnectionLost(int e) { return e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT; }

// Takes what has arrived. A peer that closed the connection in an orderly way
// (0 bytes) is treated like a reset: otherwise it would never be noticed.
static aErr sFill(aSocketStream* s, bool mayReconnect) {
  pthread_rwlock_rdlock(&s->lock);
  bool connected = s->flags & aSOCKET_CONNECTED;
  uint32_t generation = s->generation;
  ssize_t n = connected ? recv(s->fd, s->readBuffer, sizeof(s->readBuffer), MSG_DONTWAIT) : -1;
  int e = errno;
  pthread_rwlock_unlock(&s->lock);
  if (!connected)
    return aErrConnection;
  if (n > 0) {
    s->readPosition = 0;
    s->available = static_cast<size_t>(n);
    s->drained = s->available < sizeof(s->readBuffer);
    return aErrNone;
  }
  if (n < 0 && (e == EAGAIN || e == EWOULDBLOCK || e == EINTR))
    return aErrNotReady;
  if (n == 0 || sConnectionLost(e)) {
    if (!mayReconnect) {
      pthread_rwlock_wrlock(&s->lock);
      if (s->generation == generation)
        sCloseSocket(s);
      pthread_rwlock_unlock(&s->lock);
      return aErrConnection;
    }
    aErr err = sRepair(s, generation);
    return err ? err : sFill(s, false);
  }
  return aErrConnection;
}

static aErr cbSocketGet(uint8_t* byte, void* reference) {
  aSocketStream* s = sRecord(reference);
  if (!s)
    return aErrParam;
  if (!s->available && s->drained) {
    s->drained = false;
    return aErrNotReady;
  }
  if (!s->available) {
    aErr err = sFill(s, true);
    if (err)
      return err;
  }
  *byte = s->readBuffer[s->readPosition++];
  s->available--;
  return aErrNone;
}

// A lost or closed connection also counts as readable: the next get reports
// or repairs it. The descriptor is polled outside the lock so that the
// writer is never held up; should the writer replace it meanwhile, the wait
// merely ends early or at its time-out.
static aErr cbSocketWait(unsigned long timeoutMS, void* reference) {
  aSocketStream* s = sRecord(reference);
  if (!s)
    return aErrParam;
  if (s->available)
    return aErrNone;
  pthread_rwlock_rdlock(&s->lock);
  int fd = (s->flags & aSOCKET_CONNECTED) ? s->fd : -1;
  pthread_rwlock_unlock(&s->lock);
  if (fd < 0)
    return aErrNone;
  return aStreamWake_Poll(fd, s->wakeFd, timeoutMS);
}

static int cbSocketDescriptor(void* reference) {
  aSocketStream* s = sRecord(reference);
  if (!s || s->available)
    return -1;
  pthread_rwlock_rdlock(&s->lock);
  int fd = (s->flags & aSOCKET_CONNECTED) ? s->fd : -1;
  pthread_rwlock_unlock(&s->lock);
  return fd;
}

static aErr cbSocketInterrupt(void* reference) {
  aSocketStream* s = sRecord(reference);
  return s ? aStreamWake_Signal(s->wakeFd) : aErrParam;
}

// One send attempt of the remaining bytes; *attempts is updated as the write rules count.
static aErr sSendOnce(aSocketStream* s, const uint8_t* bytes, size_t length, size_t* sent, int* attempts) {
  pthread_rwlock_rdlock(&s->lock);
  bool connected = s->flags & aSOCKET_CONNECTED;
  uint32_t generation = s->generation;
  ssize_t n = connected ? send(s->fd, bytes + *sent, length - *sent, MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
  int e = errno;
  pthread_rwlock_unlock(&s->lock);
  if (!connected)
    return aErrConnection;
  if (n >= 0) {
    *sent += static_cast<size_t>(n);
    *attempts = 1;
    return aErrNone;
  }
  if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) {
    (*attempts)++;
    return aErrNone;
  }
  if (e == EPIPE || e == ECONNRESET || e == ENOTCONN) {
    aErr err = sRepair(s, generation);
    if (err)
      return err;
    (*attempts)++;
    return aErrNone;
  }
  return aErrIO;
}

static aErr cbSocketWrite(const uint8_t* bytes, size_t length, void* reference) {
  aSocketStream* s = sRecord(reference);
  if (!s)
    return aErrParam;
  size_t sent = 0;
  int attempts = 0;
  for (;;) {
    aErr err = sSendOnce(s, bytes, length, &sent, &attempts);
    if (err)
      return err;
    if (sent >= length)
      return aErrNone;
    if (attempts > aSOCKET_WRITE_ATTEMPTS)
      return aErrBusy;
    aTime_MSSleep(aSOCKET_RETRY_MS);
  }
}

static aErr cbSocketPut(uint8_t byte, void* reference) { return cbSocketWrite(&byte, 1, reference); }

static aErr cbSocketDelete(void* reference) {
  aSocketStream* s = sRecord(reference);
  if (!s)
    return aErrParam;
  pthread_rwlock_wrlock(&s->lock);
  sCloseSocket(s);
  pthread_rwlock_unlock(&s->lock);
  pthread_rwlock_destroy(&s->lock);
  aStreamWake_Close(&s->wakeFd);
  s->check = 0;
  delete s;
  return aErrNone;
}

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream) {
  if (!stream)
    return aErrParam;
  aSocketStream* s = new (std::nothrow) aSocketStream;
  if (!s)
    return aErrResource;
  memset(s, 0, sizeof(*s));
  s->check = aSOCKET_VALID;
  s->port = port;
  s->address.sin_family = AF_INET;
  s->address.sin_port = htons(port);
  s->address.sin_addr.s_addr = address;
  s->fd = -1;
  s->wakeFd = aStreamWake_Create();
  pthread_rwlock_init(&s->lock, nullptr);
  pthread_rwlock_wrlock(&s->lock);
  aErr err = sConnect(s);
  pthread_rwlock_unlock(&s->lock);
  aStream* made = err ? nullptr : aStream_Create(cbSocketGet, cbSocketPut, cbSocketWrite, cbSocketDelete, s);
  if (made) {
    aStream_SetWait(made, cbSocketWait);
    aStream_SetDescriptor(made, cbSocketDescriptor);
    if (s->wakeFd >= 0)
      aStream_SetInterrupt(made, cbSocketInterrupt);
  }
  if (!made) {
    cbSocketDelete(s);
    return aErrResource;
  }
  pthread_rwlock_wrlock(&s->lock);
  s->owner = made;
  pthread_rwlock_unlock(&s->lock);
  *stream = made;
  return aErrNone;
}
