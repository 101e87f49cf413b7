// What the lab update server knows: the BIRD files per model, the modules
// (serial number, model, latest build) and the recovery fingerprints.
//
// Catalogue directory: one subdirectory per model, named by the model, holding
// BIRD files (*.bird, any file name); a file's build and version come from its
// information block. A "lab-server.conf" in the catalogue directory is read
// when present. Config lines ("#" starts a comment):
//   device SERIAL MODEL [LATEST]           serial in hex; LATEST defaults to the highest build
//   fix W0 W1 W2 W3 SERIAL BUILD           a recovery fingerprint (hex words) -> serial, build
// The command line takes the same entries with ":" between fields.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct CatalogueBuild {
  uint32_t build = 0;
  std::string version;
  std::string path;
};

struct CatalogueDevice {
  uint32_t serial = 0;
  std::string model;
  uint32_t latest = 0;  // 0: the highest build in the model's folder
};

struct CatalogueFix {
  uint32_t fingerprint[4] = {0, 0, 0, 0};
  uint32_t serial = 0;
  uint32_t build = 0;
};

class LabServerCatalogue {
public:
  typedef std::map<uint32_t, CatalogueBuild> Builds;

  // Scans DIR/<model>/*.bird and reads DIR/lab-server.conf when it exists.
  bool LoadDirectory(const std::string& dir, std::string& error);
  bool LoadConfig(const std::string& path, std::string& error);
  // One config entry given as words ("device 1234ABCD Hub 17").
  bool AddEntry(const std::string& line, std::string& error);

  const CatalogueDevice* FindDevice(uint32_t serial) const;
  const CatalogueFix* FindFix(const uint32_t fingerprint[4]) const;
  const Builds& ModelBuilds(const std::string& model) const;
  const CatalogueBuild* FindBuild(const std::string& model, uint32_t build) const;
  uint32_t LatestBuild(const CatalogueDevice& device) const;
  size_t FileCount() const;

private:
  bool AddDevice(const std::vector<std::string>& words, std::string& error);
  bool AddFix(const std::vector<std::string>& words, std::string& error);

  std::map<std::string, Builds> models;
  std::map<uint32_t, CatalogueDevice> devices;
  std::vector<CatalogueFix> fixes;
};

