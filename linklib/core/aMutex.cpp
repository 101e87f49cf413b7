#include "aMutex.h"

#include <atomic>
#include <errno.h>
#include <stdint.h>
#include <new>
#include <pthread.h>
#include <string.h>

#define aMUTEX_VALID 0xCAFE
#define aMUTEX_NAME_MAX 255

struct aMutex {
  uint16_t check;
  pthread_mutex_t mutex;
  char name[aMUTEX_NAME_MAX + 1];
  // The holding thread (0 when free). Misuse by the caller (locking twice,
  // unlocking without holding) is answered from here, without handing the
  // system a call that race checkers rightly flag as a bug.
  std::atomic<unsigned long> owner;
};

static bool sValid(const aMutex* mutex) { return mutex && mutex->check == aMUTEX_VALID; }

static unsigned long sSelf(void) { return static_cast<unsigned long>(pthread_self()); }

static bool sHeldBySelf(const aMutex* mutex) { return mutex->owner.load() == sSelf(); }

aMutex* aMutex_Create(const char* name) {
  if (name && strlen(name) > aMUTEX_NAME_MAX)
    return nullptr;
  aMutex* mutex = new (std::nothrow) aMutex;
  if (!mutex)
    return nullptr;
  memset(mutex->name, 0, sizeof(mutex->name));
  mutex->owner = 0;
  if (name)
    strcpy(mutex->name, name);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  // Error checking gives the deadlock and not-owner reports that Lock and Unlock map.
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  int rc = pthread_mutex_init(&mutex->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    delete mutex;
    return nullptr;
  }
  mutex->check = aMUTEX_VALID;
  return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) { return sValid(mutex) ? mutex->name : nullptr; }

static aErr sMap(int rc) {
  switch (rc) {
    case 0: return aErrNone;
    case EDEADLK: return aErrDuplicate;
    case EBUSY: return aErrBusy;
    case EPERM: return aErrPermission;
    default: return aErrUnknown;
  }
}

aErr aMutex_Lock(aMutex* mutex) {
  if (!sValid(mutex))
    return aErrParam;
  if (sHeldBySelf(mutex))
    return aErrDuplicate;  // would deadlock
  aErr err = sMap(pthread_mutex_lock(&mutex->mutex));
  if (err == aErrNone)
    mutex->owner = sSelf();
  return err;
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (!sValid(mutex))
    return aErrParam;
  if (sHeldBySelf(mutex))
    return aErrBusy;
  aErr err = sMap(pthread_mutex_trylock(&mutex->mutex));
  if (err == aErrNone)
    mutex->owner = sSelf();
  return err;
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (!sValid(mutex))
    return aErrParam;
  if (!sHeldBySelf(mutex))
    return aErrPermission;
  mutex->owner = 0;
  return sMap(pthread_mutex_unlock(&mutex->mutex));
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (!mutex || !*mutex)
    return aErrParam;
  aMutex* m = *mutex;
  // A record with a foreign marker is not ours to free (it may be freed already).
  *mutex = nullptr;
  if (!sValid(m))
    return aErrParam;
  unsigned long owner = m->owner.load();
  if (owner != 0 && owner != sSelf()) {
    // Another thread still holds it and will unlock it later: freeing the
    // memory under it would corrupt the heap, so it is left alone.
    return aErrBusy;
  }
  aErr err = aErrNone;
  if (owner != 0) {
    m->owner = 0;
    pthread_mutex_unlock(&m->mutex);
    err = aErrBusy;
  }
  int rc = pthread_mutex_destroy(&m->mutex);
  if (err == aErrNone && rc != 0)
    err = rc == EBUSY ? aErrBusy : rc == EAGAIN ? aErrResource : aErrUnknown;
  m->check = 0;
  delete m;
  return err;
}
