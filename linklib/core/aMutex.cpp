#include "aMutex.h"

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
};

static bool sValid(const aMutex* mutex) { return mutex && mutex->check == aMUTEX_VALID; }

aMutex* aMutex_Create(const char* name) {
  if (name && strlen(name) > aMUTEX_NAME_MAX)
    return nullptr;
  aMutex* mutex = new (std::nothrow) aMutex;
  if (!mutex)
    return nullptr;
  memset(mutex->name, 0, sizeof(mutex->name));
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
  return sMap(pthread_mutex_lock(&mutex->mutex));
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (!sValid(mutex))
    return aErrParam;
  return sMap(pthread_mutex_trylock(&mutex->mutex));
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (!sValid(mutex))
    return aErrParam;
  return sMap(pthread_mutex_unlock(&mutex->mutex));
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (!mutex || !*mutex)
    return aErrParam;
  aMutex* m = *mutex;
  aErr err = aErrParam;
  if (sValid(m)) {
    int rc = pthread_mutex_destroy(&m->mutex);
    err = rc == 0 ? aErrNone : rc == EBUSY ? aErrBusy : rc == EAGAIN ? aErrResource : aErrUnknown;
    m->check = 0;
    delete m;
  }
  // A record with a foreign marker is not ours to free (it may be freed already).
  *mutex = nullptr;
  return err;
}
