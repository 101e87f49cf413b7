// Recognising a UEI reply, shared by the plain and the byte-array reply filters.
#pragma once
#include "UEI.h"
#include "aPacket.h"

namespace Tessoral {
namespace Kovalink {

// True for a packet from the pattern's address with at least 3 data bytes whose
// command, option and entity index are the pattern's.
bool ueiReplyMatches(const aPacket* packet, const uei& pattern);
// For an error reply (specifier bit 7) copies the specifier and the module's
// code into the record and returns true.
bool ueiTakeErrorReply(const aPacket* packet, uei* record);

}  // namespace Kovalink
}  // namespace Tessoral
