// Module-level queries (cmdQUERY) and the echo test (cmdDEBUG).
#include <string.h>

#include "Module.h"
#include "ModuleCommands.h"
#include "aError.h"

namespace Tessoral {
namespace Kovalink {

// Sends `command` with its payload and takes the first reply that starts with
// the same command byte; *length becomes the reply's data length.
aErr Module::_exchange(uint8_t command, const uint8_t* payload, uint8_t payloadLength, uint8_t* reply,
                      uint8_t* length) {
  if (!isConnected())
    return aErrConnection;
  aErr result = link->sendPacket(address, command, payloadLength, payload);
  if (result != aErrNone)
    return result;
  *length = 1;
  return link->receivePacket(address, &command, length, reply);
}

// A cmdQUERY reply must have the expected length and echo the sub-operation
// and its arguments; its last byte is the answer.
aErr Module::_query(const uint8_t* request, uint8_t requestLength, uint8_t replyLength, uint8_t* answer) {
  *answer = 0;
  uint8_t length = 0;
  uint8_t reply[aPACKET_MAX_DATA];
  aErr result = _exchange(cmdQUERY, request, requestLength, reply, &length);
  if (result != aErrNone)
    return result;
  const uint8_t echoed = static_cast<uint8_t>(replyLength - 2);
  if (length != replyLength || memcmp(&reply[1], request, echoed) != 0)
    return aErrUnknown;
  *answer = reply[replyLength - 1];
  return aErrNone;
}

int Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction) {
  if (direction != 0 && direction != 0x40 && direction != 0x80)
    return aErrParam;
  const uint8_t request[] = {val_QUERY_HAS_UEI, command, option, index, direction};
  uint8_t answer = 0;
  aErr result = _query(request, sizeof(request), 6, &answer);
  return result != aErrNone ? static_cast<int>(result) : answer;
}

aErr Module::classQuantity(uint8_t entityClass, uint8_t* count) {
  if (!count)
    return aErrParam;
  const uint8_t request[] = {val_QUERY_CLASS_QUANTITY, entityClass};
  return _query(request, sizeof(request), 4, count);
}

aErr Module::subClassQuantity(uint8_t entityClass, uint8_t index, uint8_t* count) {
  if (!count)
    return aErrParam;
  const uint8_t request[] = {val_QUERY_SUBCLASS_QUANTITY, entityClass, index};
  return _query(request, sizeof(request), 5, count);
}

aErr Module::entityGroup(uint8_t entityClass, uint8_t index, uint8_t* group) {
  if (!group)
    return aErrParam;
  const uint8_t request[] = {val_QUERY_ENTITY_GROUP, entityClass, index};
  return _query(request, sizeof(request), 5, group);
}

aErr Module::debug(const uint8_t* bytes, uint8_t count) {
  if (count > 0 && !bytes)
    return aErrParam;
  uint8_t length = 0;
  uint8_t reply[aPACKET_MAX_DATA];
  aErr result = _exchange(cmdDEBUG, bytes, count, reply, &length);
  if (result != aErrNone)
    return result;
  if (length != count + 1 || (count > 0 && memcmp(&reply[1], bytes, count) != 0))
    return aErrIO;
  return aErrNone;
}

}  // namespace Kovalink
}  // namespace Tessoral
