#include "BenchBird.h"

#include <algorithm>
#include <vector>

#include "BirdWriter.h"

namespace bench {

std::string WriteBenchBird(const testsupport::TempDir& dir, size_t imageBytes, uint32_t build) {
  const size_t kInfoAddress = 0x400;
  std::vector<uint8_t> image = birdwriter::RandomBytes(imageBytes, 5);
  birdwriter::Block info = birdwriter::InfoBlock(build, "1.0.0", 0, "Holvex");
  if (image.size() >= kInfoAddress + info.content.size())
    std::copy(info.content.begin(), info.content.end(), image.begin() + kInfoAddress);
  std::vector<birdwriter::Block> blocks;
  blocks.push_back(info);
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, birdwriter::RandomBytes(512, 3)));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0, image));
  blocks.push_back(birdwriter::SerialOffsetsBlock(0x100, 0x200));
  std::vector<uint8_t> bytes = birdwriter::EncodeFile(blocks);
  std::string path = dir.file(std::to_string(imageBytes) + ".bird");
  testsupport::WriteFile(path, std::string(bytes.begin(), bytes.end()));
  return path;
}

}  // namespace bench
