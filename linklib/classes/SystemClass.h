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

  int getModule(uint8_t* address);
  int getRouter(uint8_t* address);
  int setRouter(uint8_t address);
  int getHBInterval(uint8_t* interval);
  int setHBInterval(uint8_t interval);
  int getLED(uint8_t* state);
  int setLED(uint8_t state);
  int getBootSlot(uint8_t* slot);
  int setBootSlot(uint8_t slot);
  int getVersion(uint32_t* version);
  int getModel(uint8_t* model);
  int getSerialNumber(uint32_t* serialNumber);
  int save();
  int reset();
  int getInputVoltage(uint32_t* microvolts);
  int getModuleHardwareOffset(uint8_t* offset);
  int getModuleBaseAddress(uint8_t* address);
  int getModuleSoftwareOffset(uint8_t* offset);
  int setModuleSoftwareOffset(uint8_t offset);
  int getRouterAddressSetting(uint8_t* address);
  int routeToMe(uint8_t enable);
  int getInputCurrent(uint32_t* current);
  int getUptime(uint32_t* uptime);
  int getMaximumTemperature(int32_t* temperature);
  int logEvents();
  int getUnregulatedVoltage(int32_t* voltage);
  int getUnregulatedCurrent(int32_t* current);
  int getTemperature(int32_t* temperature);
  int getMinimumTemperature(int32_t* temperature);
  int getInputPowerSource(uint8_t* source);
  int getInputPowerBehavior(uint8_t* behavior);
  int setInputPowerBehavior(uint8_t behavior);
  int getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
  int setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
  int getName(uint8_t* buffer, size_t capacity, size_t* count);
  int setName(const uint8_t* buffer, size_t count);
  int getPowerLimit(uint32_t* power);
  int getPowerLimitMax(uint32_t* power);
  int setPowerLimitMax(uint32_t power);
  int getPowerLimitState(uint32_t* state);
  int resetEntityToFactoryDefaults();
  int resetDeviceToFactoryDefaults();
  int getLinkInterface(uint8_t* linkInterface);
  int setLinkInterface(uint8_t linkInterface);
  int getHardwareVersion(uint32_t* version);
  int getErrors(uint32_t* errors);

private:
  int getSigned(uint8_t option, int32_t* value);
};

}  // namespace Kovalink
}  // namespace Tessoral
