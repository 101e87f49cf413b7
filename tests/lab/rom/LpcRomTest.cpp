// The lab LPC boot ROM's flash and command rules, fed byte by byte.
#include <gtest/gtest.h>

#include "rom/LpcRom.h"

namespace {

class Rom {
public:
  explicit Rom(const LpcRomOptions& options = LpcRomOptions()) : rom(options) {
    Send("?");
    Send("Synchronized\r\n14746\r\nA 0\r\n");
    Take();
  }
  void Send(const std::string& text, unsigned baud = 115200) {
    for (char c : text)
      rom.Receive(static_cast<uint8_t>(c), baud, 0);
  }
  std::string Take() {
    std::string out;
    for (const LpcRom::Output& o : rom.TakeOutput())
      out += o.bytes;
    return out;
  }
  std::string Command(const std::string& line) {
    Send(line + "\r\n");
    return Take();
  }
  LpcRom rom;
};

}  // namespace

TEST(LpcRom, FlashBehavesLikeNorFlash) {
  Rom r;
  EXPECT_EQ(r.Command("E 1 1"), "15\r\n");  // locked until U
  r.Command("U 23130");
  EXPECT_EQ(r.Command("E 1 1"), "9\r\n");  // not prepared
  EXPECT_EQ(r.Command("P 1 1"), "0\r\n");
  EXPECT_EQ(r.Command("E 1 1"), "0\r\n");
  EXPECT_EQ(r.rom.Flash()[0x1000], 0xFF);
  EXPECT_EQ(r.Command("C 4096 268439552 256"), "9\r\n");  // protected again after the erase
  // RAM: 0x0F 0xF0 ... written, then copied twice: the second copy can only clear bits.
  std::string data(256, '\x0F');
  EXPECT_EQ(r.Command("W 268439552 256"), "0\r\n");
  for (size_t i = 0; i < 256; i += 45)
    r.Send(LpcRom::UuEncodeLine(reinterpret_cast<const uint8_t*>(data.data()) + i, std::min<size_t>(45, 256 - i)) +
           "\r\n");
  r.Send(std::to_string(256 * 15) + "\r\n");
  EXPECT_EQ(r.Take(), "OK\r\n");
  r.Command("P 1 1");
  EXPECT_EQ(r.Command("C 4096 268439552 256"), "0\r\n");
  EXPECT_EQ(r.rom.Flash()[0x1000], 0x0F);
  EXPECT_EQ(r.Command("M 4096 268439552 256"), "0\r\n");
  EXPECT_EQ(r.Command("C 4096 268439552 256"), "9\r\n");
  EXPECT_EQ(r.Command("C 4160 268439552 256"), "3\r\n");  // not on a 256-byte boundary
  EXPECT_EQ(r.Command("C 4096 268439552 300"), "6\r\n");
  // Flash 0..63 reads as the boot ROM: a compare over it differs.
  EXPECT_EQ(r.Command("M 0 268439552 64").substr(0, 4), "10\r\n");
}

TEST(LpcRom, BaudEchoAndChecksums) {
  LpcRomOptions options;
  options.resendBlocks = {1};
  Rom r(options);
  EXPECT_EQ(r.Command("B 57600 1"), "0\r\n");
  EXPECT_EQ(r.rom.Baud(), 57600u);
  // At the old rate the chip only sees garbage.
  EXPECT_EQ(r.Command("J"), "");
  r.Send("\r\n", 57600);
  EXPECT_EQ(r.Take(), "1\r\n");  // the garbled line is no command
  r.Send("J\r\n", 57600);
  EXPECT_EQ(r.Take(), "0\r\n637615927\r\n");
  // Echo starts after the line that switches it on.
  r.Send("A 1\r\n", 57600);
  EXPECT_EQ(r.Take(), "0\r\n");
  r.Send("K\r\n", 57600);
  EXPECT_EQ(r.Take(), "K\r\n0\r\n4\r\n1\r\n");
  r.Send("W 268439552 4\r\n", 57600);
  r.Take();
  const uint8_t word[4] = {1, 2, 3, 4};
  r.Send(LpcRom::UuEncodeLine(word, 4) + "\r\n10\r\n", 57600);
  EXPECT_NE(r.Take().find("RESEND\r\n"), std::string::npos);  // forced for the first block
  r.Send(LpcRom::UuEncodeLine(word, 4) + "\r\n11\r\n", 57600);
  EXPECT_NE(r.Take().find("RESEND\r\n"), std::string::npos);  // a wrong sum
  r.Send(LpcRom::UuEncodeLine(word, 4) + "\r\n10\r\n", 57600);
  EXPECT_NE(r.Take().find("OK\r\n"), std::string::npos);
  EXPECT_EQ(r.rom.GetState(), LpcRom::State::Command);
}

TEST(LpcRom, EachCommandAnswersWithItsOwnLines) {
  LpcRomOptions options;
  options.forced.push_back(LpcRomOptions::ForcedCode{'J', 3, 2});
  options.hangCommand = 'K';
  Rom r(options);
  std::vector<uint8_t> flash(8, 0xFF);
  flash[4] = 0x78, flash[5] = 0x56, flash[6] = 0x34, flash[7] = 0x12;
  r.rom.SetFlash(flash);
  EXPECT_EQ(r.Command("I 0 1"), "8\r\n4\r\n305419896\r\n");  // offset and content of the first used word
  EXPECT_EQ(r.Command("N"), "0\r\n305419896\r\n2596069104\r\n253635900\r\n1264216440\r\n");
  EXPECT_EQ(r.Command("N 1"), "12\r\n");
  EXPECT_EQ(r.Command("J"), "0\r\n637615927\r\n");
  EXPECT_EQ(r.Command("J"), "3\r\n");  // forced on its second use only
  EXPECT_EQ(r.Command("J"), "0\r\n637615927\r\n");
  EXPECT_EQ(r.Command("Z 1"), "1\r\n");
  EXPECT_EQ(r.Command("U 23131"), "16\r\n");
  EXPECT_EQ(r.Command("G 268439552 A"), "15\r\n");  // locked
  EXPECT_EQ(r.Command("U 23130"), "0\r\n");
  EXPECT_EQ(r.Command("P 0 0"), "0\r\n");
  EXPECT_EQ(r.Command("E 0 0"), "0\r\n");
  EXPECT_EQ(r.Command("I 0 1"), "0\r\n");

  const uint8_t word[4] = {9, 8, 7, 6};
  EXPECT_EQ(r.Command("W 268439552 4"), "0\r\n");
  EXPECT_EQ(r.Command(LpcRom::UuEncodeLine(word, 4) + "\r\n30"), "OK\r\n");
  EXPECT_EQ(r.Command("R 268439552 4"), "0\r\n" + LpcRom::UuEncodeLine(word, 4) + "\r\n30\r\n");
  EXPECT_EQ(r.rom.GetState(), LpcRom::State::ReadData);
  EXPECT_EQ(r.Command("OK"), "");
  EXPECT_EQ(r.Command("M 268439552 268439552 4"), "0\r\n");
  EXPECT_EQ(r.Command("G 268439554 A"), "13\r\n");  // ARM mode needs a word address
  EXPECT_EQ(r.Command("G 268439554 T"), "0\r\n");
  EXPECT_EQ(r.rom.GetState(), LpcRom::State::Running);
  EXPECT_NE(r.rom.AccountJson().find("\"started_at\": 268439554"), std::string::npos);

  Rom hung(options);
  EXPECT_EQ(hung.Command("K"), "");
  EXPECT_EQ(hung.Command("J"), "");
  EXPECT_EQ(hung.rom.GetState(), LpcRom::State::Hung);
}
