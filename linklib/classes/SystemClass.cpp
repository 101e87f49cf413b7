#include "SystemClass.h"

#include "ModuleCommands.h"
#include "aError.h"

namespace Tessoral {
namespace Kovalink {

SystemClass::SystemClass() {}

SystemClass::~SystemClass() {}

void SystemClass::init(Module* module, uint8_t index) { EntityClass::init(module, cmdSYSTEM, index); }

aErr SystemClass::getModule(uint8_t* address) { return getUEI8(systemModule, address); }

aErr SystemClass::getRouter(uint8_t* address) { return getUEI8(systemRouter, address); }

aErr SystemClass::getHBInterval(uint8_t* interval) { return getUEI8(systemHBInterval, interval); }

aErr SystemClass::getLED(uint8_t* state) { return getUEI8(systemLED, state); }

aErr SystemClass::getBootSlot(uint8_t* slot) { return getUEI8(systemBootSlot, slot); }

aErr SystemClass::getModel(uint8_t* model) { return getUEI8(systemModel, model); }

aErr SystemClass::getModuleHardwareOffset(uint8_t* offset) { return getUEI8(systemModuleHardwareOffset, offset); }

aErr SystemClass::getModuleBaseAddress(uint8_t* address) { return getUEI8(systemModuleBaseAddress, address); }

aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) { return getUEI8(systemModuleSoftwareOffset, offset); }

aErr SystemClass::getRouterAddressSetting(uint8_t* address) { return getUEI8(systemRouterAddressSetting, address); }

aErr SystemClass::getInputPowerSource(uint8_t* source) { return getUEI8(systemInputPowerSource, source); }

aErr SystemClass::getInputPowerBehavior(uint8_t* behavior) { return getUEI8(systemInputPowerBehavior, behavior); }

aErr SystemClass::getLinkInterface(uint8_t* linkInterface) { return getUEI8(systemLinkInterface, linkInterface); }

aErr SystemClass::setRouter(uint8_t address) { return setUEI8(systemRouter, address); }

aErr SystemClass::setHBInterval(uint8_t interval) { return setUEI8(systemHBInterval, interval); }

aErr SystemClass::setBootSlot(uint8_t slot) { return setUEI8(systemBootSlot, slot); }

aErr SystemClass::setModuleSoftwareOffset(uint8_t offset) { return setUEI8(systemModuleSoftwareOffset, offset); }

aErr SystemClass::routeToMe(uint8_t enable) { return setUEI8(systemRouteToMe, enable); }

aErr SystemClass::setInputPowerBehavior(uint8_t behavior) { return setUEI8(systemInputPowerBehavior, behavior); }

aErr SystemClass::setLinkInterface(uint8_t linkInterface) { return setUEI8(systemLinkInterface, linkInterface); }

aErr SystemClass::setLED(uint8_t state) { return setUEI8(systemLED, state ? 1 : 0); }

aErr SystemClass::getVersion(uint32_t* version) { return getUEI32(systemVersion, version); }

aErr SystemClass::getSerialNumber(uint32_t* serialNumber) { return getUEI32(systemSerialNumber, serialNumber); }

aErr SystemClass::getInputVoltage(uint32_t* microvolts) { return getUEI32(systemInputVoltage, microvolts); }

aErr SystemClass::getInputCurrent(uint32_t* current) { return getUEI32(systemInputCurrent, current); }

aErr SystemClass::getUptime(uint32_t* uptime) { return getUEI32(systemUptime, uptime); }

aErr SystemClass::getPowerLimit(uint32_t* power) { return getUEI32(systemPowerLimit, power); }

aErr SystemClass::getPowerLimitMax(uint32_t* power) { return getUEI32(systemPowerLimitMax, power); }

aErr SystemClass::getPowerLimitState(uint32_t* state) { return getUEI32(systemPowerLimitState, state); }

aErr SystemClass::getHardwareVersion(uint32_t* version) { return getUEI32(systemHardwareVersion, version); }

aErr SystemClass::getErrors(uint32_t* errors) { return getUEI32(systemErrors, errors); }

aErr SystemClass::setPowerLimitMax(uint32_t power) { return setUEI32(systemPowerLimitMax, power); }

// These options report signed values in the 32-bit form.
aErr SystemClass::getSigned(uint8_t option, int32_t* value) {
  if (!value)
    return aErrParam;
  uint32_t raw = 0;
  aErr result = getUEI32(option, &raw);
  if (result == aErrNone || result == aErrStreamStale)
    *value = static_cast<int32_t>(raw);
  return result;
}

aErr SystemClass::getMaximumTemperature(int32_t* temperature) { return getSigned(systemMaximumTemperature, temperature); }

aErr SystemClass::getUnregulatedVoltage(int32_t* voltage) { return getSigned(systemUnregulatedVoltage, voltage); }

aErr SystemClass::getUnregulatedCurrent(int32_t* current) { return getSigned(systemUnregulatedCurrent, current); }

aErr SystemClass::getTemperature(int32_t* temperature) { return getSigned(systemTemperature, temperature); }

aErr SystemClass::getMinimumTemperature(int32_t* temperature) { return getSigned(systemMinimumTemperature, temperature); }

aErr SystemClass::save() { return callUEI(systemSave); }

aErr SystemClass::reset() { return callUEI(systemReset); }

aErr SystemClass::logEvents() { return callUEI(systemLogEvents); }

aErr SystemClass::resetEntityToFactoryDefaults() { return callUEI(systemResetEntityToFactoryDefaults); }

aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(systemResetDeviceToFactoryDefaults); }

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count) {
  return getUEIBytes32(systemInputPowerBehavior, words, capacity, count);
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* count) {
  return getUEIBytes8(systemName, buffer, capacity, count);
}

// Byte-array writes do not exist in the module protocol.
aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t*, size_t) { return aErrUnimplemented; }

aErr SystemClass::setName(const uint8_t*, size_t) { return aErrUnimplemented; }

}  // namespace Kovalink
}  // namespace Tessoral
