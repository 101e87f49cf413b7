// The station's log on stdout: one line per event that matters (a module appeared, its
// update started, its result, it left), each with a UTC time stamp after the module's
// serial number ("0000BEEF: 2026-12-09T12:00:00.123Z appeared (USB, Holvex)"). With --json each
// line is one JSON object (JSON Lines, described by packaging/updater-result.schema.json),
// so `tail -f | jq` follows a running station. Lines come from several threads; each is
// written whole.
#pragma once
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "JsonOutput.h"
#include "update/ModuleOutcome.h"

class FleetConsole;

class StationLog {
public:
  // Plain lines go through `console`, in order with the modules' own lines; JSON lines to `out`.
  StationLog(bool json, FILE* out, FleetConsole& console) : json_(json), out_(out), console_(console) {}

  void Watching(const std::vector<std::string>& transports, const std::vector<std::string>& accepted);
  void Appeared(const linkSpec& spec);
  void Started(uint32_t serialNumber, uint32_t buildBefore, uint32_t buildWanted);
  void Result(const ModuleOutcome& outcome);
  void Left(uint32_t serialNumber);
  // The end of the run: the table's rows, and the exit code.
  void Stopped(const std::vector<ModuleOutcome>& modules, unsigned handled, int exitCode);

  // "0000BEEF"
  static std::string Serial(uint32_t serialNumber);
  // "2026-12-09T12:00:00.123Z"
  static std::string UtcNow();
  // "TCPIP 10.0.0.2:9000" or "USB"
  static std::string Where(const linkSpec& spec);

private:
  // `serialNumber`: the module a plain line is about, 0 for the station's own.
  void emit(JsonOutput::Json event, const std::string& plain, uint32_t serialNumber = 0);

  bool json_;
  FILE* out_;
  FleetConsole& console_;
  std::mutex lock_;
};
