#include "store/ModuleHistory.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <exception>

#include "Log.h"
#include "aNumber.h"
#include "store/KeyValueStore.h"
#include "store/UpdaterStore.h"
#include "store/UpdaterStoreItem.h"

const char* const ModuleHistory::kChipsEntry = ".chips";

namespace {

const char* const kNextKey = "HISTORY_NEXT";
const HistoryEvent::Kind kKinds[] = {HistoryEvent::Kind::Download, HistoryEvent::Kind::Transfer,
                                     HistoryEvent::Kind::Verified, HistoryEvent::Kind::Recovery,
                                     HistoryEvent::Kind::Fingerprint};

std::string SlotKey(uint64_t sequence) {
  char key[24];
  snprintf(key, sizeof(key), "HISTORY_%02u", static_cast<unsigned>(sequence % ModuleHistory::kSlots));
  return key;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '%': out += "%25"; break;
      case ';': out += "%3B"; break;
      case '\n': out += "%0A"; break;
      case '\r': out += "%0D"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    uint32_t code = 0;
    if (text[i] == '%' && i + 2 < text.size() &&
        aNumber_ParseU32(text.substr(i + 1, 2).c_str(), 16, &code) == aErrNone) {
      out += static_cast<char>(code);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t at = 0;
  for (size_t end; (end = text.find(';', at)) != std::string::npos; at = end + 1)
    parts.push_back(text.substr(at, end - at));
  parts.push_back(text.substr(at));
  return parts;
}

std::string Value(const HistoryEvent& e) {
  std::string text = std::to_string(e.sequence) + ";" + Escaped(e.date) + ";" + HistoryEvent::KindName(e.kind);
  auto field = [&text](const char* name, const std::string& value) {
    if (!value.empty())
      text += std::string(";") + name + "=" + Escaped(value);
  };
  field("build", e.build ? std::to_string(e.build) : "");
  field("file", e.file);
  field("chip", e.chip);
  field("fingerprint", e.fingerprint);
  field("check", e.check);
  if (e.kind == HistoryEvent::Kind::Recovery)
    field("result", e.succeeded ? "ok" : "failed");
  return text;
}

void SetField(HistoryEvent& e, const std::string& name, const std::string& value) {
  if (name == "build")
    aNumber_ParseU32(value.c_str(), 10, &e.build);
  else if (name == "file")
    e.file = value;
  else if (name == "chip")
    e.chip = value;
  else if (name == "fingerprint")
    e.fingerprint = value;
  else if (name == "check")
    e.check = value;
  else if (name == "result")
    e.succeeded = value != "failed";
}

bool Parse(const std::string& value, HistoryEvent& e) {
  std::vector<std::string> parts = Split(value);
  if (parts.size() < 3 || aNumber_ParseU64(parts[0].c_str(), 10, &e.sequence) != aErrNone)
    return false;
  e.date = Unescaped(parts[1]);
  auto kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                           [&](HistoryEvent::Kind k) { return parts[2] == HistoryEvent::KindName(k); });
  if (kind == std::end(kKinds))
    return false;  // a kind a later updater records
  e.kind = *kind;
  for (size_t i = 3; i < parts.size(); i++) {
    size_t equals = parts[i].find('=');
    if (equals != std::string::npos)
      SetField(e, parts[i].substr(0, equals), Unescaped(parts[i].substr(equals + 1)));
  }
  return true;
}

uint64_t NextSequence(const KeyValueStore& settings) {
  uint64_t next = 0;
  const char* text = settings[kNextKey];
  if (text && aNumber_ParseU64(text, 10, &next) != aErrNone)
    next = 0;
  // A counter lost or damaged must not make new events overwrite newer ones.
  for (const HistoryEvent& e : ModuleHistory::Read(settings))
    next = std::max(next, e.sequence + 1);
  return next;
}

HistoryEvent Chip(HistoryEvent::Kind kind, bool lpc, const uint32_t fingerprint[4]) {
  HistoryEvent e;
  e.kind = kind;
  e.chip = lpc ? "LPC" : "i.MX";
  e.fingerprint = HistoryEvent::FingerprintText(fingerprint);
  return e;
}

}  // namespace

const char* HistoryEvent::KindName(Kind kind) {
  switch (kind) {
    case Kind::Download: return "download";
    case Kind::Transfer: return "transfer";
    case Kind::Verified: return "verified";
    case Kind::Recovery: return "recovery";
    case Kind::Fingerprint: return "fingerprint";
  }
  return "unknown";
}

std::string HistoryEvent::FingerprintText(const uint32_t fingerprint[4]) {
  char text[40];
  snprintf(text, sizeof(text), "%08X %08X %08X %08X", fingerprint[0], fingerprint[1], fingerprint[2], fingerprint[3]);
  return text;
}

// Milliseconds order the events of one second across entries (a chip read, then its module's download).
std::string HistoryEvent::Now() { return Log::UtcStamp(); }

HistoryEvent HistoryEvent::Download(uint32_t build, const std::string& file) {
  HistoryEvent e;
  e.kind = Kind::Download;
  e.build = build;
  e.file = file;
  return e;
}

HistoryEvent HistoryEvent::Transfer(uint32_t build, const std::string& file) {
  HistoryEvent e = Download(build, file);
  e.kind = Kind::Transfer;
  return e;
}

HistoryEvent HistoryEvent::Verified(uint32_t build) {
  HistoryEvent e;
  e.kind = Kind::Verified;
  e.build = build;
  return e;
}

HistoryEvent HistoryEvent::Recovery(bool lpc, const uint32_t fingerprint[4], uint32_t build, const std::string& file,
                                    bool succeeded) {
  HistoryEvent e = Chip(Kind::Recovery, lpc, fingerprint);
  e.build = build;
  e.file = file.empty() ? file : ModuleHistory::AbsolutePath(file);
  e.succeeded = succeeded;
  if (succeeded)
    e.check = lpc ? kFlashReadBack : kRunningBuild;
  return e;
}

HistoryEvent HistoryEvent::FingerprintRead(bool lpc, const uint32_t fingerprint[4]) {
  return Chip(Kind::Fingerprint, lpc, fingerprint);
}

void ModuleHistory::Append(KeyValueStore& settings, std::vector<HistoryEvent>& events) {
  if (events.empty())
    return;
  uint64_t next = NextSequence(settings);
  for (HistoryEvent& e : events) {
    e.sequence = next++;
    if (e.date.empty())
      e.date = HistoryEvent::Now();
    settings.Add(SlotKey(e.sequence), Value(e));
  }
  settings.Add(kNextKey, std::to_string(next));
  events.clear();
}

std::vector<HistoryEvent> ModuleHistory::Read(const KeyValueStore& settings) {
  std::vector<HistoryEvent> events;
  for (unsigned slot = 0; slot < kSlots; slot++) {
    const char* value = settings[SlotKey(slot)];
    HistoryEvent e;
    if (value && Parse(value, e))
      events.push_back(e);
  }
  std::sort(events.begin(), events.end(),
            [](const HistoryEvent& a, const HistoryEvent& b) { return a.sequence < b.sequence; });
  return events;
}

bool ModuleHistory::Record(const std::string& updaterDirectory, uint32_t serialNumber, HistoryEvent event,
                           UpdaterDisplayInterface* display) {
  try {
    UpdaterStore store(updaterDirectory);
    const bool known = serialNumber != 0 && serialNumber != kLoaderSerial;
    UpdaterStoreItem item = known ? store.AddDevice(serialNumber) : store.AddDevice(kChipsEntry);
    item.AddEvent(event);
    if (known && event.kind == HistoryEvent::Kind::Recovery && event.succeeded) {
      // What a recovery wrote is the module's latest transfer, for readers of the older keys too.
      item.settings.Add(UpdaterStoreItem::KEY_LATEST_TRANSFER, item.events.back().file);
      item.settings.Add(UpdaterStoreItem::KEY_LAST_TRANSFER_DATE, KeyValueStore::Timestamp());
    }
    if (item.SaveSettings(display))
      return true;
    Log::log(DEBUG_Updater, "UpdaterStore: could not record the %s in [%s].\n", HistoryEvent::KindName(event.kind),
             item.Path().c_str());
  } catch (const std::exception& e) {
    Log::log(DEBUG_Updater, "UpdaterStore: could not record the %s: %s\n", HistoryEvent::KindName(event.kind),
             e.what());
  }
  return false;
}

std::string ModuleHistory::AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/')
    return path;
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved) {
    std::string absolute(resolved);
    free(resolved);
    return absolute;
  }
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof(cwd)))
    return path;
  return std::string(cwd) + "/" + path;
}
