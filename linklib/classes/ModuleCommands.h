// Command codes of the module protocol and the sub-operations of cmdQUERY.
#pragma once
#include <stdint.h>

#include "aError.h"

namespace Tessoral {
namespace Kovalink {

enum : uint8_t {
  cmdSYSTEM = 3,
  cmdSLOT = 4,
  cmdDEBUG = 0x17,
  cmdQUERY = 0x49,
  cmdSTREAM = 0x5D,
  cmdFACTORY = 0x5E,
  cmdUPGRADE = 0x5F,
};

enum : uint8_t {
  val_QUERY_HAS_UEI = 1,
  val_QUERY_CLASS_QUANTITY = 4,
  val_QUERY_SUBCLASS_QUANTITY = 5,
  val_QUERY_ENTITY_GROUP = 6,
  val_QUERY_BUILD = 0xFF,
};

// Packets to this odd address with no data ask a module for its address.
const uint8_t kMagicAddress = 0xAD;

// Every awaited module reply is given this long.
const unsigned long kReplyTimeoutMS = 1000;

// The code an error reply carries; a module that flags an error without a
// code must still read as a failure.
inline aErr moduleErrorCode(uint8_t code) { return code != aErrNone ? static_cast<aErr>(code) : aErrUnknown; }

}  // namespace Kovalink
}  // namespace Tessoral
