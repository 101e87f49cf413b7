#include "recovery/RecoveryImage.h"

#include "Log.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "image/BirdFile.h"
#include "image/ImageTrust.h"
#include "store/BuildPath.h"
#include "store/UpdaterStore.h"

namespace {

// Restores the display's muting however the scope is left.
class MutedMessages {
public:
  explicit MutedMessages(UpdaterDisplayInterface& d) : display(d), was(d.muted) { display.mute_messages(true); }
  ~MutedMessages() { display.mute_messages(was); }
  MutedMessages(const MutedMessages&) = delete;
  MutedMessages& operator=(const MutedMessages&) = delete;

private:
  UpdaterDisplayInterface& display;
  bool was;
};

bool sStoredImageReadable(const UpdaterStoreItem& item, const std::string& name) {
  return item.IsValid() && !name.empty() &&
         BirdFile::VerifyFile(BuildPath(item.Path().c_str(), name.c_str(), nullptr).c_str());
}

}  // namespace

RecoveryImage::RecoveryImage(Updater& u, UpdaterDisplayInterface& d) : updater(u), display(d) {}

bool RecoveryImage::Load(uint32_t serial, const std::string& birdFile, BirdFile& image) {
  if (birdFile.empty())
    return FromStore(serial, image);
  if (serial == kDefaultSerial) {
    display.message(UpdaterDisplayInterface::Error,
                    "Add serial number or remove the bird filename to use a default recovery image.");
    return false;
  }
  image = BirdFile(birdFile.c_str());
  return Trusted(image);
}

// The recovery loader goes into the chip's RAM: it too must be signed by a trusted key.
bool RecoveryImage::Trusted(const BirdFile& image) {
  ImageVerdict verdict = ImageTrust::Judge(image, updater.UpdaterDirectory());
  if (!verdict.Accepted())
    display.message(UpdaterDisplayInterface::Error, "%s", verdict.Refusal().c_str());
  return verdict.Accepted();
}

bool RecoveryImage::FromStore(uint32_t serial, BirdFile& image) {
  UpdaterStore store(updater.UpdaterDirectory());
  UpdaterStoreItem item;
  store.FindDevice(serial, &item);
  std::string name = item.IsValid() ? item.settings.GetString(UpdaterStoreItem::KEY_LATEST_DOWNLOAD, "") : "";
  // An entry left by a failed download names no file: it must not stop every later download.
  if (!sStoredImageReadable(item, name)) {
    uint32_t build = 0;
    const size_t verdicts = ImageTrust::Recorded().size();
    {
      MutedMessages quiet(display);
      Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
      build = updater.Download_Firmware(serial, "", false);
    }
    if (build == 0) {
      // A download refused for its signature said so while messages were muted.
      std::vector<ImageVerdict> judged = ImageTrust::Recorded();
      if (judged.size() > verdicts && !judged.back().Accepted())
        display.message(UpdaterDisplayInterface::Error, "%s", judged.back().Refusal().c_str());
      display.message(UpdaterDisplayInterface::Error, "Could not download the recovery image for %08X", serial);
      return false;
    }
    name = std::to_string(build) + ".bird";
    store.FindDevice(serial, &item);
  }
  image = item.ReadBirdFile(name.c_str());
  return Trusted(image);
}
