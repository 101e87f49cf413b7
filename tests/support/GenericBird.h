// A generic BIRD file for lab modules: its image carries an information block at 0x400,
// so a lab module reboots into the build the file names, and serial-number offsets make
// it fit any module of its model.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "TestSupport.h"

namespace birdtest {

// Writes DIR/BUILD.bird and returns its path.
inline std::string WriteGenericBird(const testsupport::TempDir& dir, uint32_t build, const std::string& version,
                                    size_t imageSize, uint32_t seed) {
  std::vector<uint8_t> image = birdwriter::RandomBytes(imageSize, seed);
  birdwriter::Block info = birdwriter::InfoBlock(build, version, 0, "Holvex");
  std::copy(info.content.begin(), info.content.end(), image.begin() + 0x400);
  std::vector<birdwriter::Block> blocks;
  blocks.push_back(birdwriter::InfoBlock(build, version, 0, "Holvex"));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, birdwriter::RandomBytes(300, 9)));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0, image, 2));
  blocks.push_back(birdwriter::SerialOffsetsBlock(0x100, 0x200));
  std::vector<uint8_t> bytes = birdwriter::EncodeFile(blocks);
  std::string path = dir.file(std::to_string(build) + ".bird");
  testsupport::WriteFile(path, std::string(bytes.begin(), bytes.end()));
  return path;
}

}  // namespace birdtest
