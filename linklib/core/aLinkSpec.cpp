#include "aLinkSpec.h"

#include <stddef.h>
#include <string.h>
#include <new>

#define aLINKSPEC_VALID 0x5EC5

// The public record stays a plain eight-field struct that callers copy by value,
// so the validity marker lives in a header in front of it.
struct sLinkSpecHolder {
  uint16_t check;
  linkSpec spec;
};

static sLinkSpecHolder* sHolderOf(linkSpec* spec) {
  return reinterpret_cast<sLinkSpecHolder*>(reinterpret_cast<char*>(spec) - offsetof(sLinkSpecHolder, spec));
}

static linkSpec* sNew(const linkSpec& value) {
  sLinkSpecHolder* holder = new (std::nothrow) sLinkSpecHolder;
  if (!holder)
    return nullptr;
  holder->check = aLINKSPEC_VALID;
  holder->spec = value;
  return &holder->spec;
}

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec value;
  memset(&value, 0, sizeof(value));
  value.type = type;
  return sNew(value);
}

linkSpec* aLinkSpec_Copy(linkSpec spec) { return sNew(spec); }

aErr aLinkSpec_Destroy(linkSpec** spec) {
  if (!spec || !*spec)
    return aErrParam;
  sLinkSpecHolder* holder = sHolderOf(*spec);
  if (holder->check != aLINKSPEC_VALID)
    return aErrParam;
  holder->check = 0;
  delete holder;
  *spec = nullptr;
  return aErrNone;
}
