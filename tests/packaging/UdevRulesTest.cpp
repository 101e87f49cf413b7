// The udev rules, read the way udev reads them: every line parses, and
// evaluated against the devices sysfs shows (ids in lower-case hexadecimal,
// the HID node below its USB device) they grant access to exactly the modules
// and the i.MX boot ROM.
#include <gtest/gtest.h>

#include <fnmatch.h>

#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "LabServerSupport.h"
#include "TestSupport.h"
#include "aUSB.h"

namespace {

const char kRulesFile[] = "70-kovalink.rules";

struct Key {
  std::string name, attribute, op, value;
};
using Rule = std::vector<Key>;

// One sysfs device: its own attributes and, for ATTRS, its parents'.
struct Device {
  std::string action = "add";
  std::string subsystem, devtype, kernel;
  std::map<std::string, std::string> attrs;
  std::vector<std::map<std::string, std::string>> parents;
};

struct Result {
  std::string mode, group;
  std::vector<std::string> tags;
  bool Granted() const {
    bool uaccess = false;
    for (const std::string& t : tags)
      uaccess = uaccess || t == "uaccess";
    return uaccess && group == "plugdev" && mode == "0660";
  }
};

// Splits a rule line at the commas between keys; fails on anything udev would reject.
bool ParseRule(const std::string& line, Rule* rule, std::string* why) {
  static const std::regex kKey(R"re(^\s*([A-Z_]+)(\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*$)re");
  static const std::map<std::string, bool> kKnown = {
      {"ACTION", true}, {"SUBSYSTEM", true}, {"KERNEL", true}, {"ENV", true},   {"ATTR", true},
      {"ATTRS", true},  {"MODE", false},     {"GROUP", false}, {"TAG", false}, {"GOTO", false}, {"LABEL", false}};
  std::string part;
  bool quoted = false;
  std::vector<std::string> parts;
  for (char c : line) {
    if (c == '"')
      quoted = !quoted;
    if (c == ',' && !quoted) {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  for (const std::string& p : parts) {
    std::smatch m;
    if (!std::regex_match(p, m, kKey)) {
      *why = "not a key: [" + p + "]";
      return false;
    }
    auto known = kKnown.find(m[1]);
    if (known == kKnown.end()) {
      *why = "unknown key " + std::string(m[1]);
      return false;
    }
    bool isMatch = m[4] == "==" || m[4] == "!=";
    if (known->second != isMatch) {
      *why = "wrong operator for " + std::string(m[1]);
      return false;
    }
    if ((m[1] == "ENV" || m[1] == "ATTR" || m[1] == "ATTRS") != m[2].matched) {
      *why = std::string(m[1]) + " with or without {attribute} wrongly";
      return false;
    }
    rule->push_back({m[1], m[3], m[4], m[5]});
  }
  return true;
}

std::vector<Rule> ReadRules(const std::string& path) {
  std::vector<Rule> rules;
  std::istringstream in(testsupport::ReadFile(path));
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#')
      continue;
    Rule rule;
    std::string why;
    EXPECT_TRUE(ParseRule(line, &rule, &why)) << kRulesFile << ":" << number << ": " << why;
    rules.push_back(rule);
  }
  return rules;
}

// udev patterns: shell globs, with "|" between alternatives.
bool Glob(const std::string& pattern, const std::string& text) {
  std::istringstream alternatives(pattern);
  for (std::string one; std::getline(alternatives, one, '|');)
    if (fnmatch(one.c_str(), text.c_str(), 0) == 0)
      return true;
  return false;
}

bool AttrsMatch(const Rule& rule, const std::map<std::string, std::string>& attrs) {
  for (const Key& k : rule) {
    if (k.name != "ATTRS")
      continue;
    auto it = attrs.find(k.attribute);
    if ((it != attrs.end() && Glob(k.value, it->second)) != (k.op == "=="))
      return false;
  }
  return true;
}

bool Matches(const Rule& rule, const Device& d) {
  for (const Key& k : rule) {
    std::string value;
    bool present = true;
    if (k.name == "ACTION")
      value = d.action;
    else if (k.name == "SUBSYSTEM")
      value = d.subsystem;
    else if (k.name == "KERNEL")
      value = d.kernel;
    else if (k.name == "ENV" && k.attribute == "DEVTYPE")
      value = d.devtype;
    else if (k.name == "ATTR") {
      auto it = d.attrs.find(k.attribute);
      present = it != d.attrs.end();
      if (present)
        value = it->second;
    } else {
      continue;
    }
    if ((present && Glob(k.value, value)) != (k.op == "=="))
      return false;
  }
  // Every ATTRS key of a rule has to match on one and the same device of the chain.
  bool anyAttrs = false;
  for (const Key& k : rule)
    anyAttrs = anyAttrs || k.name == "ATTRS";
  if (!anyAttrs || AttrsMatch(rule, d.attrs))
    return true;
  for (const auto& parent : d.parents)
    if (AttrsMatch(rule, parent))
      return true;
  return false;
}

Result Evaluate(const std::vector<Rule>& rules, const Device& d) {
  Result r;
  std::string skipTo;
  for (const Rule& rule : rules) {
    if (!skipTo.empty()) {
      if (rule.size() == 1 && rule[0].name == "LABEL" && rule[0].value == skipTo)
        skipTo.clear();
      continue;
    }
    if (!Matches(rule, d))
      continue;
    for (const Key& k : rule) {
      if (k.name == "MODE")
        r.mode = k.value;
      else if (k.name == "GROUP")
        r.group = k.value;
      else if (k.name == "TAG")
        r.tags.push_back(k.value);
      else if (k.name == "GOTO")
        skipTo = k.value;
    }
  }
  return r;
}

std::string Hex4(unsigned value) {
  char text[8];
  snprintf(text, sizeof(text), "%04x", value);
  return text;
}

Device UsbDevice(unsigned vendor, unsigned product) {
  Device d;
  d.subsystem = "usb";
  d.devtype = "usb_device";
  d.kernel = "1-2";
  d.attrs = {{"idVendor", Hex4(vendor)}, {"idProduct", Hex4(product)}, {"serial", "0000BEEF"}};
  return d;
}

// A hidraw node: its HID device, the USB interface, then the USB device.
Device HidrawNode(unsigned vendor, unsigned product) {
  Device d;
  d.subsystem = "hidraw";
  d.kernel = "hidraw0";
  d.parents = {{{"country", "00"}}, {{"bInterfaceClass", "03"}}, UsbDevice(vendor, product).attrs};
  return d;
}

}  // namespace

TEST(UdevRules, ParseAndGrantAccessToExactlyTheModulesAndTheBootRom) {
  std::string path = testsupport::SourcePath(std::string("packaging/udev/") + kRulesFile);
  std::vector<Rule> rules = ReadRules(path);
  ASSERT_FALSE(rules.empty());
  // uaccess becomes an ACL in 73-seat-late.rules: a tag set later is never seen.
  EXPECT_LT(std::stoi(kRulesFile), 73);

  // Modules: the maker's vendor id, every product id below 0x8000.
  for (unsigned product : {0x0000u, 0x0011u, 0x0a2fu, 0x7fffu})
    EXPECT_TRUE(Evaluate(rules, UsbDevice(aUSB_VENDOR_ID, product)).Granted()) << Hex4(product);
  EXPECT_FALSE(Evaluate(rules, UsbDevice(aUSB_VENDOR_ID, 0x8000)).Granted());
  EXPECT_FALSE(Evaluate(rules, UsbDevice(aUSB_VENDOR_ID + 1, 0x0011)).Granted());
  Device node;
  node.subsystem = "kovalink";
  node.kernel = "kovalink.0000BEEF";
  EXPECT_TRUE(Evaluate(rules, node).Granted());

  // The i.MX boot ROM: its USB device and its HID node, and no other product.
  EXPECT_TRUE(Evaluate(rules, UsbDevice(0x1fc9, 0x0130)).Granted());
  EXPECT_TRUE(Evaluate(rules, HidrawNode(0x1fc9, 0x0130)).Granted());
  EXPECT_FALSE(Evaluate(rules, UsbDevice(0x1fc9, 0x0131)).Granted());
  EXPECT_FALSE(Evaluate(rules, HidrawNode(0x1fc9, 0x0131)).Granted());
  EXPECT_FALSE(Evaluate(rules, HidrawNode(0x1234, 0x0130)).Granted());

  // Other devices keep what they had; a removal changes nothing.
  Result other = Evaluate(rules, UsbDevice(0x046d, 0xc077));
  EXPECT_TRUE(other.mode.empty() && other.group.empty() && other.tags.empty());
  Device removed = UsbDevice(aUSB_VENDOR_ID, 0x0011);
  removed.action = "remove";
  EXPECT_TRUE(Evaluate(rules, removed).tags.empty());

  // udev's own check, on systems whose udevadm has it.
  if (testsupport::RunProgram({"/bin/sh", "-c", "udevadm verify --help >/dev/null 2>&1"}).exitCode == 0) {
    testsupport::ProgramResult verify = testsupport::RunProgram({"/usr/bin/env", "udevadm", "verify", path});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
  }
}
