// Base of every entity accessor: get, set and call requests for the options of
// one entity (command code and index) of a module, plus raw packet exchange.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <map>
#include <memory>

#include "Link.h"
#include "UEI.h"

namespace Tessoral {
namespace Kovalink {

class Module;

class EntityClass {
public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  void init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;

  aErr getUEI(uint8_t option, uei* packet);
  aErr setUEI(uint8_t option, uei* packet);
  aErr setUEI(uint8_t option, uint8_t subindex, uei* packet);
  aErr callUEI(uint8_t option);

  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);

  aErr getUEI8(uint8_t option, uint8_t* value);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
  aErr getUEI16(uint8_t option, uint16_t* value);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
  aErr getUEI32(uint8_t option, uint32_t* value);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

  // Byte-array read; *count must be 0 on entry and holds the bytes stored.
  aErr getUEIBytes8(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
  // Byte-array read of big-endian 32-bit words; *count becomes the word count.
  aErr getUEIBytes32(uint8_t option, uint32_t* words, size_t capacity, size_t* count);
  static uint8_t getUEIBytesSequence(uint8_t sequence);
  static bool getUEIBytesContinue(uint8_t sequence);

  // Waits for a 32-bit reply that was not asked for; the third argument has no effect.
  aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t unused);
  // Drops queued get replies of this entity and option.
  aErr drainUEI(uint8_t option);

  aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* payload);
  aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* out);

  // Streams of this entity: every option, one option, and what streams now.
  aErr setStreamEnabled(bool enable);
  aErr registerOptionCallback(uint8_t option, bool enable, streamCallback callback, void* reference);
  aErr getStreamStatus(std::map<uint64_t, uint32_t>* status);

protected:
  Module* getModule() const;

private:
  aErr setUEIWith(uint8_t option, const uint8_t* subindex, uei* packet);
  aErr setValue(uint8_t option, const uint8_t* subindex, ueiType type, uint32_t value);
  aErr getValue(uint8_t option, const uint8_t* subindex, uint32_t* value);
  template <typename T>
  aErr getTyped(uint8_t option, const uint8_t* subindex, T* out);

  struct impl;
  std::unique_ptr<impl> pImpl;
};

}  // namespace Kovalink
}  // namespace Tessoral
