// Whatever an i.MX boot ROM sends back: reply words over HID and serial, and
// the load and fingerprint exchanges driven by a transport whose replies (and
// short writes) come from the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "recovery/imx/HID_SDPLoader.h"
#include "Log.h"
#include "recovery/imx/SDPLoader.h"
#include "recovery/imx/Serial_SDPLoader.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  uint8_t Byte() {
    if (size == 0)
      return 0;
    size--;
    return *data++;
  }
};

// Each read takes a length byte and that many bytes; each write may come up short.
template <typename Base>
class FuzzTransport : public Base {
public:
  template <typename... A>
  FuzzTransport(Input& in, A... args) : Base(args...), input(in) {}
  bool init() override { return true; }
  ssize_t writeData(const std::vector<uint8_t>& packet) override {
    if (packet.empty() || packet.size() > 1025 || (packet[0] != 1 && packet[0] != 2) ||
        (packet[0] == 1 && packet.size() != 17))
      abort();
    if (packet[0] == 2)
      dataBytes += packet.size() - 1;
    return (input.Byte() & 0x0F) == 0x0F ? 1 : static_cast<ssize_t>(packet.size());
  }
  ssize_t readData(std::vector<uint8_t>& reply, unsigned) override {
    size_t n = input.Byte();
    if (n > input.size)
      n = input.size;
    reply.insert(reply.end(), input.data, input.data + n);
    input.data += n;
    input.size -= n;
    return static_cast<ssize_t>(n);
  }
  Input& input;
  size_t dataBytes = 0;
};

void CheckWords(const uint8_t* data, size_t size) {
  std::vector<uint8_t> reply(data, data + size);
  HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
  Serial_SDPLoader serial("/nonexistent");
  for (unsigned offset : {0u, 1u, 15u, 16u, 0xFFFFFFFFu}) {
    unsigned value = 0;
    if (hid.getDataFromBuffer(reply, offset, value) && (size != 70 || offset > 15))
      abort();
    value = 0;
    if (serial.getDataFromBuffer(reply, offset, value) && (offset > 15 || size < 4 * (offset + 2)))
      abort();
  }
}

template <typename Base, typename... A>
void Exchange(Input in, A... args) {
  size_t payloadSize = size_t(in.Byte()) << 4 | (in.Byte() & 0x0F);
  std::vector<uint8_t> payload(payloadSize, 0x5A);
  FuzzTransport<Base>* transport = new FuzzTransport<Base>(in, args...);
  SDPLoader loader;
  loader.setLoader(std::unique_ptr<SDPLoader_Interface>(transport));
  if (loader.init() != 0)
    abort();
  int result = loader.writeLoader(payload, 0x20000000);
  // Any result the loader documents, and nothing else; NOT_SDP is a port that only ever sends junk.
  if (result != 0 && result != SDPLoader::NO_ANSWER && result != SDPLoader::DATA_DURING_WRITE &&
      result != SDPLoader::NOT_CONFIRMED && result != SDPLoader::NOT_SDP)
    abort();
  if (result == 0 && transport->dataBytes != payloadSize)
    abort();
  uint64_t fp = 0;
  result = loader.getFingerprint(fp);
  if (result != 0 && result != SDPLoader::NO_ANSWER && result != SDPLoader::UNREADABLE_REPLY &&
      result != SDPLoader::NOT_SDP)
    abort();
  loader.startLoader(0x20000400);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* sink = [] {
    FILE* f = std::fopen("/dev/null", "w");
    Log::SetOutput(f);
    Log::ActivatePackage(DEBUG_iMXSerial);
    return f;
  }();
  (void)sink;
  CheckWords(data, size);
  if (size == 0)
    return 0;
  Input in{data + 1, size - 1};
  if (data[0] & 1)
    Exchange<HID_SDPLoader>(in, IMX1050::VID, IMX1050::PID);
  else
    Exchange<Serial_SDPLoader>(in, std::string("/nonexistent"));
  return 0;
}
