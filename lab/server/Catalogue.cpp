#include "server/Catalogue.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "Numbers.h"
#include "server/Bird.h"

namespace {

const char* const kConfigName = "lab-server.conf";

bool sIsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> sEntries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.')
        names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

bool sEndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> sWords(const std::string& line) {
  std::istringstream in(line.substr(0, line.find('#')));
  std::vector<std::string> words;
  for (std::string w; in >> w;)
    words.push_back(w);
  return words;
}

}  // namespace

bool LabServerCatalogue::LoadDirectory(const std::string& dir, std::string& error) {
  if (!sIsDirectory(dir)) {
    error = "catalogue " + dir + " is not a directory";
    return false;
  }
  for (const std::string& model : sEntries(dir)) {
    std::string folder = dir + "/" + model;
    if (!sIsDirectory(folder))
      continue;
    Builds& builds = models[model];
    for (const std::string& name : sEntries(folder)) {
      if (!sEndsWith(name, ".bird"))
        continue;
      std::string path = folder + "/" + name, bytes, why;
      LabBirdInfo info;
      if (!LabReadFile(path, bytes) || !LabBirdDescribe(bytes, info, why)) {
        error = path + ": " + (why.empty() ? "cannot be read" : why);
        return false;
      }
      builds[info.build] = CatalogueBuild{info.build, info.version, path};
    }
  }
  std::string config = dir + "/" + kConfigName;
  std::ifstream probe(config);
  return !probe || LoadConfig(config, error);
}

bool LabServerCatalogue::LoadConfig(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read config " + path;
    return false;
  }
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    number++;
    if (!AddEntry(line, error)) {
      error = path + ":" + std::to_string(number) + ": " + error;
      return false;
    }
  }
  return true;
}

bool LabServerCatalogue::AddEntry(const std::string& line, std::string& error) {
  std::vector<std::string> words = sWords(line);
  if (words.empty())
    return true;
  if (words[0] == "device")
    return AddDevice(words, error);
  if (words[0] == "fix")
    return AddFix(words, error);
  error = "unknown entry '" + words[0] + "'";
  return false;
}

bool LabServerCatalogue::AddDevice(const std::vector<std::string>& words, std::string& error) {
  CatalogueDevice device;
  if (words.size() < 3 || words.size() > 4 || !lab::ParseNumber(words[1], 16, device.serial) ||
      (words.size() == 4 && !lab::ParseNumber(words[3], 10, device.latest))) {
    error = "expected: device SERIAL MODEL [LATEST]";
    return false;
  }
  device.model = words[2];
  devices[device.serial] = device;
  return true;
}

bool LabServerCatalogue::AddFix(const std::vector<std::string>& words, std::string& error) {
  CatalogueFix fix;
  bool ok = words.size() == 7;
  for (int i = 0; ok && i < 4; i++)
    ok = lab::ParseNumber(words[1 + i], 16, fix.fingerprint[i]);
  ok = ok && lab::ParseNumber(words[5], 16, fix.serial) && lab::ParseNumber(words[6], 10, fix.build);
  if (!ok) {
    error = "expected: fix W0 W1 W2 W3 SERIAL BUILD";
    return false;
  }
  fixes.push_back(fix);
  return true;
}

const CatalogueDevice* LabServerCatalogue::FindDevice(uint32_t serial) const {
  auto it = devices.find(serial);
  return it == devices.end() ? nullptr : &it->second;
}

const CatalogueFix* LabServerCatalogue::FindFix(const uint32_t fingerprint[4]) const {
  for (const CatalogueFix& fix : fixes)
    if (std::equal(fingerprint, fingerprint + 4, fix.fingerprint))
      return &fix;
  return nullptr;
}

const LabServerCatalogue::Builds& LabServerCatalogue::ModelBuilds(const std::string& model) const {
  static const Builds kNone;
  auto it = models.find(model);
  return it == models.end() ? kNone : it->second;
}

const CatalogueBuild* LabServerCatalogue::FindBuild(const std::string& model, uint32_t build) const {
  const Builds& builds = ModelBuilds(model);
  auto it = builds.find(build);
  return it == builds.end() ? nullptr : &it->second;
}

uint32_t LabServerCatalogue::LatestBuild(const CatalogueDevice& device) const {
  if (device.latest)
    return device.latest;
  const Builds& builds = ModelBuilds(device.model);
  return builds.empty() ? 0 : builds.rbegin()->first;
}

size_t LabServerCatalogue::FileCount() const {
  size_t count = 0;
  for (const auto& m : models)
    count += m.second.size();
  return count;
}
