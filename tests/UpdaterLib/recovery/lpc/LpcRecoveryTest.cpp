// Stopping an LPC recovery between two steps, against the lab boot ROM: the
// progress line is ended and one line says what the chip holds and what to
// run next. (The signal comes from inside the process, which a run of the
// updater binary cannot time to the step.)
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "Interrupt.h"
#include "LabLpcSupport.h"
#include "LabServerSupport.h"
#include "RecordingDisplay.h"
#include "TestSupport.h"
#include "Updater.h"
#include "image/BirdFile.h"
#include "recovery/lpc/LpcRecovery.h"

using testsupport::FirmwarePiece;

namespace {

// Raises SIGINT when the block named by `trigger` is announced.
class InterruptingDisplay : public RecordingDisplay {
public:
  explicit InterruptingDisplay(const std::string& t) : trigger(t) {}
  void info_message(const char* text) override {
    RecordingDisplay::info_message(text);
    if (!trigger.empty() && std::string(text).rfind(trigger, 0) == 0)
      std::raise(SIGINT);
  }

private:
  std::string trigger;
};

const char* const kErased =
    "Recovery interrupted: the flash is erased and partly written; the chip waits in its boot ROM. Run -U -t "
    "RECOVER again to recover it.";
const char* const kUntouched =
    "Recovery interrupted: nothing was erased; the chip waits in its boot ROM. Run -U -t RECOVER again to recover "
    "it.";

bool Received(const testsupport::LabLpcProcess& rom, const std::string& prefix) {
  for (const std::string& s : rom.received())
    if (s.rfind(prefix, 0) == 0)
      return true;
  return false;
}

}  // namespace

TEST(LpcRecovery, InterruptStopsBetweenStepsAndSaysWhatTheChipHolds) {
  Interrupt::Install();
  Interrupt::Clear();
  std::vector<FirmwarePiece> pieces = {{0x2000, testsupport::TestBytes(1500, 1)},
                                       {0x10000, testsupport::TestBytes(5000, 2)}};
  std::string bytes = testsupport::MakeRecoveryBird(pieces, testsupport::kLabLpcSerial);

  struct Case {
    const char* trigger;  // empty: the signal came before the recovery began
    const char* error;
  } cases[] = {{"Transferring firmware block 2", kErased}, {"", kUntouched}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    testsupport::TempDir dir;
    testsupport::LabLpcProcess rom(dir.path());
    ASSERT_TRUE(rom.ok());
    InterruptingDisplay display(c.trigger);
    LpcRecovery lpc(display);
    Fingerprint fp;
    ASSERT_EQ(lpc.GetFingerprint(rom.pty(), LpcRecovery::kFingerprintBaud, fp), LpcRecovery::Found::Ok);
    BirdFile image;
    ASSERT_TRUE(image.LoadBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    image.DecodeFirmwareBlocks(fp.word);
    if (!*c.trigger)
      std::raise(SIGINT);
    EXPECT_FALSE(lpc.Program(image, rom.pty(), LpcRecovery::kFingerprintBaud));
    Interrupt::Clear();
    EXPECT_EQ(display.Errors(), std::vector<std::string>{c.error});
    EXPECT_EQ(std::count(display.events.begin(), display.events.end(), "progress-on"),
              std::count(display.events.begin(), display.events.end(), "progress-off"));
    rom.Stop();
    EXPECT_FALSE(Received(rom, "G ")) << rom.account();
    if (*c.trigger) {
      // The first block is in, the second never started.
      EXPECT_TRUE(rom.flash() == testsupport::ExpectedFlash({pieces[0]}));
    } else {
      EXPECT_FALSE(Received(rom, "E ")) << rom.account();
    }
  }
}
