// The image that brings an i.MX chip's recovery loader: a named file, else
// the store's latest download for the serial number, downloaded first when
// the store names none it can read.
#pragma once
#include <cstdint>
#include <string>

class BirdFile;
class RecoveryStore;
class UpdaterDisplayInterface;

class RecoveryImage {
public:
  // The serial number the i.MX recovery loader answers under, and the update
  // server's key for the default recovery image.
  static const uint32_t kDefaultSerial = 0xDEADDEAD;

  explicit RecoveryImage(RecoveryStore& store);

  // False with the reason shown or logged; a file that cannot be read throws std::runtime_error.
  bool Load(uint32_t serial, const std::string& birdFile, BirdFile& image);

private:
  bool FromStore(uint32_t serial, BirdFile& image);
  // False (said) when the image's signature refuses it.
  bool Trusted(const BirdFile& image);

  RecoveryStore& store;
  UpdaterDisplayInterface& display;
};
