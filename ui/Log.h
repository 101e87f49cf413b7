// The process-wide debug log, filtered by a 32-bit package mask.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

enum LogPackage : uint32_t {
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_Network_Legacy = 0x00000010,  // listed as "DEBUG_Network" too; no writer
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network = 0x00000100,
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000,
};

class Log {
public:
  Log() {}
  ~Log() {}

  // Writes when `package` is 0 or shares a bit with the enabled packages.
  // The text is cut to 2047 characters; no newline is added.
  static void log(unsigned package, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static void SetOutput(FILE* stream);
  static void ActivatePackage(uint32_t mask);
  static void DeactivatePackage(uint32_t mask);
  static bool IsActive(unsigned package);

  // A log kept in a file (-k): every line starts with a UTC time stamp and the
  // serial number of the module the writing thread works for ("--------" for none).
  static void SetStamped(bool stamped);
  // While several modules are worked on at once, the lines every run writes
  // (package 0) that a module's thread writes stay off a log that is the
  // user's own stream: the module's own failure line says what went wrong.
  static void SetModuleThreadsQuiet(bool quiet);

  // Names, for the calling thread and as long as it lives, the module it works for.
  class ModuleScope {
  public:
    explicit ModuleScope(uint32_t serialNumber);
    ~ModuleScope();
    ModuleScope(const ModuleScope&) = delete;
    ModuleScope& operator=(const ModuleScope&) = delete;

  private:
    uint32_t before_;
  };
  // The module the calling thread works for; 0 for none.
  static uint32_t ThreadModule();

  // Now in UTC to the millisecond: "2026-12-09T12:00:00.123Z".
  static std::string UtcStamp();

  static FILE* fh;
  static uint32_t package_bitmask;
};
