// How a module is reached: the transport and its address part.
#pragma once
#include <stdint.h>

#include "aError.h"

typedef enum {
  linkTypeInvalid = 0,
  linkTypeUSB = 1,
  linkTypeTCPIP = 2,
} linkType;

typedef struct linkSpec {
  linkType type;
  uint32_t serialNumber;
  uint32_t module;
  uint32_t router;
  uint32_t routerSerialNumber;
  uint32_t model;
  uint32_t address;  // USB: the serial number; TCP/IP: IPv4 address, network byte order
  uint32_t port;     // TCP/IP port; 0 for USB
} linkSpec;

// Heap copies of a specifier. Each returns nothing when memory is exhausted.
linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(linkSpec spec);
// Frees the record and clears the caller's pointer; aErrParam when there was none
// or the record did not come from aLinkSpec_Create/aLinkSpec_Copy.
aErr aLinkSpec_Destroy(linkSpec** spec);
