#include "SystemClass.h"

#include "ModuleCommands.h"
#include "aError.h"

namespace Tessoral {
namespace Kovalink {

SystemClass::SystemClass() {}

SystemClass::~SystemClass() {}

void SystemClass::init(Module* module, uint8_t index) { EntityClass::init(module, cmdSYSTEM, index); }

int SystemClass::getModule(uint8_t* address) { return getUEI8(systemModule, address); }

int SystemClass::getRouter(uint8_t* address) { return getUEI8(systemRouter, address); }

int SystemClass::getHBInterval(uint8_t* interval) { return getUEI8(systemHBInterval, interval); }

int SystemClass::getLED(uint8_t* state) { return getUEI8(systemLED, state); }

int SystemClass::getBootSlot(uint8_t* slot) { return getUEI8(systemBootSlot, slot); }

int SystemClass::getModel(uint8_t* model) { return getUEI8(systemModel, model); }

int SystemClass::getModuleHardwareOffset(uint8_t* offset) { return getUEI8(systemModuleHardwareOffset, offset); }

int SystemClass::getModuleBaseAddress(uint8_t* address) { return getUEI8(systemModuleBaseAddress, address); }

int SystemClass::getModuleSoftwareOffset(uint8_t* offset) { return getUEI8(systemModuleSoftwareOffset, offset); }

int SystemClass::getRouterAddressSetting(uint8_t* address) { return getUEI8(systemRouterAddressSetting, address); }

int SystemClass::getInputPowerSource(uint8_t* source) { return getUEI8(systemInputPowerSource, source); }

int SystemClass::getInputPowerBehavior(uint8_t* behavior) { return getUEI8(systemInputPowerBehavior, behavior); }

int SystemClass::getLinkInterface(uint8_t* linkInterface) { return getUEI8(systemLinkInterface, linkInterface); }

int SystemClass::setRouter(uint8_t address) { return setUEI8(systemRouter, address); }

int SystemClass::setHBInterval(uint8_t interval) { return setUEI8(systemHBInterval, interval); }

int SystemClass::setBootSlot(uint8_t slot) { return setUEI8(systemBootSlot, slot); }

int SystemClass::setModuleSoftwareOffset(uint8_t offset) { return setUEI8(systemModuleSoftwareOffset, offset); }

int SystemClass::routeToMe(uint8_t enable) { return setUEI8(systemRouteToMe, enable); }

int SystemClass::setInputPowerBehavior(uint8_t behavior) { return setUEI8(systemInputPowerBehavior, behavior); }

int SystemClass::setLinkInterface(uint8_t linkInterface) { return setUEI8(systemLinkInterface, linkInterface); }

int SystemClass::setLED(uint8_t state) { return setUEI8(systemLED, state ? 1 : 0); }

int SystemClass::getVersion(uint32_t* version) { return getUEI32(systemVersion, version); }

int SystemClass::getSerialNumber(uint32_t* serialNumber) { return getUEI32(systemSerialNumber, serialNumber); }

int SystemClass::getInputVoltage(uint32_t* microvolts) { return getUEI32(systemInputVoltage, microvolts); }

int SystemClass::getInputCurrent(uint32_t* current) { return getUEI32(systemInputCurrent, current); }

int SystemClass::getUptime(uint32_t* uptime) { return getUEI32(systemUptime, uptime); }

int SystemClass::getPowerLimit(uint32_t* power) { return getUEI32(systemPowerLimit, power); }

int SystemClass::getPowerLimitMax(uint32_t* power) { return getUEI32(systemPowerLimitMax, power); }

int SystemClass::getPowerLimitState(uint32_t* state) { return getUEI32(systemPowerLimitState, state); }

int SystemClass::getHardwareVersion(uint32_t* version) { return getUEI32(systemHardwareVersion, version); }

int SystemClass::getErrors(uint32_t* errors) { return getUEI32(systemErrors, errors); }

int SystemClass::setPowerLimitMax(uint32_t power) { return setUEI32(systemPowerLimitMax, power); }

// These options report signed values in the 32-bit form.
int SystemClass::getSigned(uint8_t option, int32_t* value) {
  if (!value)
    return aErrParam;
  uint32_t raw = 0;
  int result = getUEI32(option, &raw);
  if (result == aErrNone || result == aErrStreamStale)
    *value = static_cast<int32_t>(raw);
  return result;
}

int SystemClass::getMaximumTemperature(int32_t* temperature) { return getSigned(systemMaximumTemperature, temperature); }

int SystemClass::getUnregulatedVoltage(int32_t* voltage) { return getSigned(systemUnregulatedVoltage, voltage); }

int SystemClass::getUnregulatedCurrent(int32_t* current) { return getSigned(systemUnregulatedCurrent, current); }

int SystemClass::getTemperature(int32_t* temperature) { return getSigned(systemTemperature, temperature); }

int SystemClass::getMinimumTemperature(int32_t* temperature) { return getSigned(systemMinimumTemperature, temperature); }

int SystemClass::save() { return callUEI(systemSave); }

int SystemClass::reset() { return callUEI(systemReset); }

int SystemClass::logEvents() { return callUEI(systemLogEvents); }

int SystemClass::resetEntityToFactoryDefaults() { return callUEI(systemResetEntityToFactoryDefaults); }

int SystemClass::resetDeviceToFactoryDefaults() { return callUEI(systemResetDeviceToFactoryDefaults); }

int SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count) {
  return getUEIBytes32(systemInputPowerBehavior, words, capacity, count);
}

int SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* count) {
  return getUEIBytes8(systemName, buffer, capacity, count);
}

// Byte-array writes do not exist in the module protocol.
int SystemClass::setInputPowerBehaviorConfig(const uint32_t*, size_t) { return aErrUnimplemented; }

int SystemClass::setName(const uint8_t*, size_t) { return aErrUnimplemented; }

}  // namespace Kovalink
}  // namespace Tessoral
