// The system entity: a module's identity, its place on the module network and
// its housekeeping commands.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "Entity.h"

namespace Tessoral {
namespace Kovalink {

enum : uint8_t {
  systemModule = 1,
  systemRouter = 2,
  systemHBInterval = 3,
  systemLED = 4,
  systemBootSlot = 6,
  systemVersion = 7,
  systemModel = 8,
  systemSerialNumber = 9,
  systemSave = 10,
  systemReset = 11,
  systemInputVoltage = 12,
  systemModuleHardwareOffset = 13,
  systemModuleBaseAddress = 14,
  systemModuleSoftwareOffset = 15,
  systemRouterAddressSetting = 16,
  systemRouteToMe = 20,
  systemInputCurrent = 21,
  systemUptime = 22,
  systemMaximumTemperature = 23,
  systemLogEvents = 24,
  systemUnregulatedVoltage = 25,
  systemUnregulatedCurrent = 26,
  systemTemperature = 27,
  systemMinimumTemperature = 28,
  systemInputPowerSource = 29,
  systemInputPowerBehavior = 31,
  systemName = 32,
  systemPowerLimit = 33,
  systemPowerLimitMax = 34,
  systemPowerLimitState = 35,
  systemResetEntityToFactoryDefaults = 36,
  systemResetDeviceToFactoryDefaults = 37,
  systemLinkInterface = 38,
  systemChipIdentifier = 39,
  systemHardwareVersion = 40,
  systemErrors = 41,
};

class SystemClass : public EntityClass {
public:
  SystemClass();
  virtual ~SystemClass();

  void init(Module* module, uint8_t index);

  aErr getModule(uint8_t* address);
  aErr getRouter(uint8_t* address);
  aErr setRouter(uint8_t address);
  aErr getHBInterval(uint8_t* interval);
  aErr setHBInterval(uint8_t interval);
  aErr getLED(uint8_t* state);
  aErr setLED(uint8_t state);
  aErr getBootSlot(uint8_t* slot);
  aErr setBootSlot(uint8_t slot);
  aErr getVersion(uint32_t* version);
  aErr getModel(uint8_t* model);
  aErr getSerialNumber(uint32_t* serialNumber);
  aErr save();
  aErr reset();
  aErr getInputVoltage(uint32_t* microvolts);
  aErr getModuleHardwareOffset(uint8_t* offset);
  aErr getModuleBaseAddress(uint8_t* address);
  aErr getModuleSoftwareOffset(uint8_t* offset);
  aErr setModuleSoftwareOffset(uint8_t offset);
  aErr getRouterAddressSetting(uint8_t* address);
  aErr routeToMe(uint8_t enable);
  aErr getInputCurrent(uint32_t* current);
  aErr getUptime(uint32_t* uptime);
  aErr getMaximumTemperature(int32_t* temperature);
  aErr logEvents();
  aErr getUnregulatedVoltage(int32_t* voltage);
  aErr getUnregulatedCurrent(int32_t* current);
  aErr getTemperature(int32_t* temperature);
  aErr getMinimumTemperature(int32_t* temperature);
  aErr getInputPowerSource(uint8_t* source);
  aErr getInputPowerBehavior(uint8_t* behavior);
  aErr setInputPowerBehavior(uint8_t behavior);
  aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
  aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
  aErr getName(uint8_t* buffer, size_t capacity, size_t* count);
  aErr setName(const uint8_t* buffer, size_t count);
  aErr getPowerLimit(uint32_t* power);
  aErr getPowerLimitMax(uint32_t* power);
  aErr setPowerLimitMax(uint32_t power);
  aErr getPowerLimitState(uint32_t* state);
  aErr resetEntityToFactoryDefaults();
  aErr resetDeviceToFactoryDefaults();
  aErr getLinkInterface(uint8_t* linkInterface);
  aErr setLinkInterface(uint8_t linkInterface);
  aErr getHardwareVersion(uint32_t* version);
  aErr getErrors(uint32_t* errors);

private:
  aErr getSigned(uint8_t option, int32_t* value);
};

}  // namespace Kovalink
}  // namespace Tessoral
