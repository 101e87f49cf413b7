#include "recovery/lpc/NXPSerialClass.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <sys/prctl.h>

#include "Log.h"
#include "aNumber.h"
#include "aStream.h"
#include "aTime.h"

const float NXPSerialClass::CRYSTAL_DEFAULT = 14.7456f;

const char* const NXPSerialClass::ERROR_TEXT[NXPSerialClass::MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, 30},
};

namespace {

const unsigned kRates[NXPSerialClass::RATE_COUNT] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const char* const kSync = "Synchronized";

// Carriage return and line feed as \r and \n, other unprintables as blanks.
std::string sPrintable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else
      out += std::isprint(c) ? static_cast<char>(c) : ' ';
  }
  return out;
}

void sDump(unsigned package, const char* what, const std::string& bytes) {
  if (!Log::IsActive(package))
    return;
  std::string hex;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof(b), "%02X ", c);
    hex += b;
  }
  Log::log(package, "%s:[%s] [%s]\n", what, hex.c_str(), sPrintable(bytes).c_str());
}

// The boot ROM writes its numbers in decimal.
bool sUnsigned(const std::string& text, uint32_t& value) {
  return aNumber_ParseU32(text.c_str(), 10, &value) == aErrNone;
}

// Microseconds that `bytes` take on the line at `baud` (10 bits each).
uint64_t sWireUS(size_t bytes, unsigned baud) { return baud ? bytes * 10 * 1000000ull / baud : 0; }

}  // namespace

NXPSerialClass::NXPSerialClass() : lineFreeAtUS(aTime_GetMonotonicUS()) {}

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

namespace {
int sRateIndex(unsigned requested) {
  for (int i = 0; i < int(NXPSerialClass::RATE_COUNT); i++)
    if (kRates[i] >= requested)
      return i;
  return 2;  // a request above 230400 gets 9600
}
}  // namespace

unsigned NXPSerialClass::RateFor(unsigned requested) { return kRates[sRateIndex(requested)]; }

aErr NXPSerialClass::Connect(const char* path, unsigned requested) {
  Disconnect();
  int index = sRateIndex(requested);
  baud = kRates[index];
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", path, index, baud);
  aErr err = aStream_CreateSerial(path, index, 0, aSerial_Bits_8, aSerial_Stop_bits_1, &stream);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s\n", path, aError_GetErrorText(err));
    stream = nullptr;
    return err;
  }
  port = path;
  pending.clear();
  heard.clear();
  sentBytes = 0;
  // Short sleeps must end on time for answers to be picked up as they come.
  prctl(PR_SET_TIMERSLACK, 1000UL);
  lineFreeAtUS = aTime_GetMonotonicUS();
  return aErrNone;
}

aErr NXPSerialClass::Disconnect() {
  if (stream)
    aStream_Destroy(&stream);
  stream = nullptr;
  return aErrNone;
}

aDeadline NXPSerialClass::Deadline(size_t replyBytes, unsigned marginMs) const {
  uint64_t from = std::max(aTime_GetMonotonicUS(), lineFreeAtUS);
  return aDeadline{from + sWireUS(replyBytes, baud) + uint64_t(marginMs) * 1000};
}

aErr NXPSerialClass::WriteBytes(const std::string& bytes) {
  if (!stream)
    return aErrConnection;
  sDump(DEBUG_NXPSerial_SR, "Sending", bytes);
  aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    return err;
  }
  sentBytes += bytes.size();
  // Paced by the line itself: the bytes leave at 10 bits each, and answers
  // are awaited from the moment the last of them has gone.
  lineFreeAtUS = std::max(aTime_GetMonotonicUS(), lineFreeAtUS) + sWireUS(bytes.size(), baud);
  return aErrNone;
}

bool NXPSerialClass::TakeLine(std::string& line) {
  size_t lf;
  while ((lf = pending.find('\n')) != std::string::npos) {
    line = pending.substr(0, lf);
    pending.erase(0, lf + 1);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (line.empty())
      continue;
    sDump(DEBUG_NXPSerial_SR, "Received", line + "\r\n");
    return true;
  }
  return false;
}

aErr NXPSerialClass::ReadLine(std::string& line, aDeadline deadline) {
  if (!stream)
    return aErrConnection;
  for (;;) {
    if (TakeLine(line))
      return aErrNone;
    // Checked before every byte: a port that never stops sending must not
    // keep the reader past its deadline.
    uint64_t now = aTime_GetMonotonicUS();
    if (now >= deadline.atUS) {
      Log::log(DEBUG_NXPSerial_E, "No complete line before the deadline; have [%s]\n", sPrintable(pending).c_str());
      return aErrTimeout;
    }
    uint8_t byte = 0;
    aErr err = aStream_Read(stream, &byte, 1);
    if (err == aErrNone) {
      pending += static_cast<char>(byte);
      if (heard.size() < MAX_HEARD_BYTES)
        heard += static_cast<char>(byte);
      if (pending.size() > MAX_LINE_BYTES) {
        Log::log(DEBUG_NXPSerial, "Error no line end in %zu bytes: not an ISP answer [%s...]\n", pending.size(),
                 sPrintable(pending.substr(0, 32)).c_str());
        pending.clear();
        return aErrIO;
      }
      continue;
    }
    if (err != aErrNotReady) {
      Log::log(DEBUG_NXPSerial, "Error reading serial port [%s]\n", aError_GetErrorText(err));
      return err;
    }
    // Nothing can answer before our own bytes have left the port; after that
    // an answer is looked for often, as a byte takes under 100 us at 115200.
    if (lineFreeAtUS > now + 1000)
      aTime_SleepUntilMonotonicUS(std::min(deadline.atUS, lineFreeAtUS - 500));
    else
      aTime_SleepUntilMonotonicUS(now + 50);
  }
}

bool NXPSerialClass::ParseReturnCode(const char* line, int* code) {
  if (!line)
    return false;
  while (*line == ' ')
    line++;
  int value = 0, digits = 0;
  while (std::isdigit(static_cast<unsigned char>(*line)) && digits < 4) {
    value = value * 10 + (*line - '0');
    line++;
    digits++;
  }
  while (*line == ' ')
    line++;
  if (digits == 0 || *line)
    return false;
  if (code)
    *code = value;
  return true;
}

const char* NXPSerialClass::CodeText(int code) {
  return (code < 0 || code > MAX_ERROR) ? ERROR_TEXT[MAX_ERROR] : ERROR_TEXT[code];
}

const char* NXPSerialClass::GetErrorText(const char* reply) {
  int code = -1;
  if (!ParseReturnCode(reply, &code))
    return ERROR_TEXT[MAX_ERROR];
  return CodeText(code);
}

aErr NXPSerialClass::Command(const std::string& text, unsigned marginMs, size_t extra,
                             std::vector<std::string>* lines) {
  lastCode = -1;
  aErr err = WriteBytes(text + "\r\n");
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text.c_str(), aError_GetErrorText(err));
    return err;
  }
  aDeadline deadline = Deadline(text.size() + 2 + 4 + 13 * extra, marginMs);
  std::string line;
  err = ReadLine(line, deadline);
  // The echo of the command, whether or not echo is thought to be on.
  if (err == aErrNone && line == text)
    err = ReadLine(line, deadline);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error no answer to [%s] [%s]\n", text.c_str(), aError_GetErrorText(err));
    return err;
  }
  int code = -1;
  if (!ParseReturnCode(line.c_str(), &code)) {
    Log::log(DEBUG_NXPSerial, "Error unexpected answer [%s] to [%s]\n", sPrintable(line).c_str(), text.c_str());
    return aErrIO;
  }
  lastCode = code;
  // The whole number: 10 or 19 are failures, not the 0 of their last digit.
  if (code != 0) {
    Log::log(DEBUG_NXPSerial, "Error response ==>[%d %s] to [%s]\n", code, CodeText(code), text.c_str());
    return aErrParam;
  }
  for (size_t i = 0; i < extra; i++) {
    err = ReadLine(line, Deadline(13, marginMs));
    if (err != aErrNone) {
      Log::log(DEBUG_NXPSerial, "Error missing answer line %zu of [%s]\n", i + 1, text.c_str());
      return err;
    }
    if (lines)
      lines->push_back(line);
  }
  return aErrNone;
}

aErr NXPSerialClass::Probe(bool& commandMode) {
  // A chip in command mode takes the "?" as the start of a command line:
  // ending the line makes it answer INVALID_COMMAND.
  commandMode = false;
  aErr err = WriteBytes("\r\n");
  if (err != aErrNone)
    return err;
  aDeadline deadline = Deadline(8, REPLY_MARGIN_MS);
  bool sawEcho = false;
  std::string line;
  while (ReadLine(line, deadline) == aErrNone) {
    int code = -1;
    if (line.find('?') != std::string::npos) {
      sawEcho = true;
    } else if (ParseReturnCode(line.c_str(), &code)) {
      commandMode = true;
      echo = sawEcho;
      Log::log(DEBUG_NXPSerial, "Chip is already in ISP command mode (echo %s)\n", echo ? "on" : "off");
      return aErrNone;
    }
  }
  return aErrNone;
}

aErr NXPSerialClass::Resync(bool& commandMode) {
  // A chip left inside the data lines of a "W" takes "0" as a line of zero
  // bytes and, where it wants a checksum, as the sum of zeros: fed enough of
  // them it finishes the write (a "R" is ended by the first). Every 21 lines
  // hold a checksum point, so a chip in a data phase answers each batch; a
  // chip back in command mode answers "0" with INVALID_COMMAND.
  commandMode = false;
  for (unsigned round = 0; round < RESYNC_BATCHES; round++) {
    // At least a checksum point's worth of lines, and as many more as make
    // all that was sent at this rate whole SDP blocks (3 and 16 are coprime).
    std::string batch;
    for (unsigned i = 0; i <= LINES_PER_CHECKSUM || (sentBytes + batch.size()) % SDP_BLOCK_BYTES != 0; i++)
      batch += "0\r\n";
    aErr err = WriteBytes(batch);
    if (err != aErrNone)
      return err;
    aDeadline deadline = Deadline(8, REPLY_MARGIN_MS);
    bool dataPhase = false;
    std::string line;
    while (!dataPhase && ReadLine(line, deadline) == aErrNone) {
      int code = -1;
      if (line == "OK" || line == "RESEND")
        dataPhase = true;
      else if (ParseReturnCode(line.c_str(), &code) && code != 0)
        commandMode = true;
      if (commandMode) {
        Log::log(DEBUG_NXPSerial, "Chip was left in the middle of a command; back in command mode after %u batches\n",
                 round + 1);
        // The rest of the batch is answered too: none of it may pass for the next command's answer.
        aDeadline drained = Deadline(8, 50);
        while (ReadLine(line, drained) == aErrNone) {
        }
        pending.clear();
        return aErrNone;
      }
    }
    if (!dataPhase)
      return aErrTimeout;
  }
  return aErrTimeout;
}

aErr NXPSerialClass::Resume() {
  resumed = false;
  pending.clear();
  bool commandMode = false;
  aErr err = Probe(commandMode);
  if (err != aErrNone)
    return err;
  if (!commandMode)
    return aErrTimeout;
  resumed = true;
  return SetEcho(true);
}

aErr NXPSerialClass::Sync() {
  resumed = false;
  pending.clear();
  aErr err = aErrTimeout;
  std::string line;
  for (int attempt = 0; attempt < 2; attempt++) {
    err = WriteBytes("?");
    if (err != aErrNone)
      return err;
    err = ReadLine(line, Deadline(14, SYNC_MARGIN_MS));
    if (err == aErrNone && line.size() >= 12 && line.compare(line.size() - 12, 12, kSync) == 0)
      break;
    Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [?]. Response: [%s]\n",
             sPrintable(err == aErrNone ? line : pending).c_str());
    bool commandMode = false;
    Probe(commandMode);
    if (commandMode) {
      resumed = true;
      // Back to the state a fresh handshake leaves: echo on.
      return SetEcho(true);
    }
    err = aErrTimeout;
  }
  if (err != aErrNone) {
    bool commandMode = false;
    if (Resync(commandMode) == aErrNone && commandMode) {
      resumed = true;
      return SetEcho(true);
    }
    return err;
  }

  auto expectOk = [this](const std::string& sent) -> aErr {
    aErr e = WriteBytes(sent + "\r\n");
    if (e != aErrNone)
      return e;
    aDeadline deadline = Deadline(sent.size() + 6, SYNC_MARGIN_MS);
    std::string answer;
    while ((e = ReadLine(answer, deadline)) == aErrNone) {
      if (answer == "OK")
        return aErrNone;
      if (answer != sent) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [OK\\r\\n]\n", sPrintable(answer).c_str());
        return aErrIO;
      }
    }
    Log::log(DEBUG_NXPSerial, "No OK after [%s]\n", sent.c_str());
    return e;
  };
  err = expectOk(kSync);
  if (err != aErrNone)
    return err;
  char crystal[16];
  std::snprintf(crystal, sizeof(crystal), "%d", static_cast<int>(std::floor(0.5 + CRYSTAL_DEFAULT * 1000)));
  err = expectOk(crystal);
  if (err == aErrNone)
    echo = true;
  return err;
}

aErr NXPSerialClass::GetDeviceID() {
  std::vector<std::string> lines;
  aErr err = Command("N", REPLY_MARGIN_MS, 4, &lines);
  if (err != aErrNone)
    return err;
  uint32_t words[4];
  for (int i = 0; i < 4; i++)
    if (!sUnsigned(lines[i], words[i])) {
      Log::log(DEBUG_NXPSerial, "Error device serial number word %d is not a number [%s]\n", i,
               sPrintable(lines[i]).c_str());
      return aErrIO;
    }
  std::copy(words, words + 4, deviceId);
  return aErrNone;
}

aErr NXPSerialClass::ExecuteFrom(unsigned address) { return Command("G " + std::to_string(address) + " T", REPLY_MARGIN_MS); }

aErr NXPSerialClass::SetEcho(bool on) {
  Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  aErr err = Command(on ? "A 1" : "A 0", REPLY_MARGIN_MS);
  if (err == aErrNone)
    echo = on;
  return err;
}

aErr NXPSerialClass::SetBaudRate(unsigned rate) {
  return Command("B " + std::to_string(rate) + " 1", REPLY_MARGIN_MS);
}

aErr NXPSerialClass::ChangeBaudRate(unsigned rate) {
  aErr err = SetBaudRate(rate);
  if (err != aErrNone)
    return err;
  std::string path = port;
  return Connect(path.c_str(), rate);
}

aErr NXPSerialClass::Unlock() { return Command("U 23130", REPLY_MARGIN_MS); }

aErr NXPSerialClass::Prepare(unsigned first, unsigned last) {
  if (last < first)
    return aErrParam;
  return Command("P " + std::to_string(first) + " " + std::to_string(last), REPLY_MARGIN_MS);
}

unsigned NXPSerialClass::EraseWaitMs(unsigned first, unsigned last) {
  return ERASE_BASE_MS + ERASE_PER_SECTOR_MS * (last >= first ? last - first + 1 : 1);
}

aErr NXPSerialClass::Erase(unsigned first, unsigned last) {
  if (last < first)
    return aErrParam;
  // A chip erases sector after sector (about 100 ms each): wait for that.
  return Command("E " + std::to_string(first) + " " + std::to_string(last), EraseWaitMs(first, last));
}

aErr NXPSerialClass::CopyToFlash(unsigned flash, unsigned ram, unsigned count) {
  if (flash % 256 || (count != 256 && count != 512 && count != 1024 && count != 4096))
    return aErrParam;
  return Command("C " + std::to_string(flash) + " " + std::to_string(ram) + " " + std::to_string(count),
                 COPY_MARGIN_MS);
}

aErr NXPSerialClass::Compare(unsigned address1, unsigned address2, unsigned count, uint32_t* mismatch) {
  if (count == 0 || count % 4 || address1 % 4 || address2 % 4)
    return aErrParam;
  aErr err = Command("M " + std::to_string(address1) + " " + std::to_string(address2) + " " + std::to_string(count),
                     COPY_MARGIN_MS);
  if (err == aErrParam && lastCode == 10) {
    std::string line;
    uint32_t offset = 0;
    if (ReadLine(line, Deadline(12, REPLY_MARGIN_MS)) == aErrNone && sUnsigned(line, offset) && mismatch)
      *mismatch = offset;
  }
  return err;
}

aErr NXPSerialClass::Write(unsigned address, unsigned count, const uint8_t* data) {
  if (count == 0 || count % 4 || !data)
    return aErrParam;
  aErr err = Command("W " + std::to_string(address) + " " + std::to_string(count), REPLY_MARGIN_MS);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n", CodeText(lastCode));
    return err;
  }
  unsigned accepted = 0, failures = 0;
  while (accepted < count) {
    std::vector<std::string> sent;
    unsigned end = accepted;
    if ((err = SendDataBlock(data, accepted, count, sent, end)) != aErrNone)
      return err;
    std::string answer;
    if ((err = AwaitBlockAnswer(sent, answer)) != aErrNone) {
      Log::log(DEBUG_NXPSerial, "Write() no answer to the checksum of bytes %u to %u\n", accepted, end);
      return err;
    }
    if (answer == "OK") {
      accepted = end;
      Log::log(DEBUG_NXPSerial_E, "Write() valid transfer of %u of %u (%.0f%%) bytes\n", accepted, count,
               100.0 * accepted / count);
    } else if (answer == "RESEND") {
      if (++failures >= MAX_READ_RETRY) {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        // The chip answered every time: refused data, not a silent chip.
        return aErrWrite;
      }
      Log::log(DEBUG_NXPSerial, "Write() RESEND of bytes %u to %u (%u of %u tolerated)\n", accepted, end, failures,
               MAX_READ_RETRY - 1);
    } else {
      Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", sPrintable(answer).c_str());
      return aErrIO;
    }
  }
  return aErrNone;
}

aErr NXPSerialClass::SendDataBlock(const uint8_t* data, unsigned from, unsigned count, std::vector<std::string>& sent,
                                   unsigned& end) {
  // One block: up to 20 lines and their checksum, sent as the line takes them.
  std::string text;
  unsigned pos = from;
  uint32_t blockSum = 0;
  for (unsigned lines = 0; lines < LINES_PER_CHECKSUM && pos < count; lines++) {
    char line[64];
    size_t n = uuencode(line, data + pos, std::min<size_t>(MAX_BYTES_PER_LINE, count - pos));
    blockSum += sum(data + pos, static_cast<unsigned>(n));
    pos += static_cast<unsigned>(n);
    sent.push_back(line);
    text += line;
    text += "\r\n";
  }
  Log::log(DEBUG_NXPSerial_E, "Write() Checksum: %08X (%u)\n", blockSum, blockSum);
  sent.push_back(std::to_string(blockSum));
  text += sent.back() + "\r\n";
  end = pos;
  aErr err = WriteBytes(text);
  if (err != aErrNone)
    Log::log(DEBUG_NXPSerial_SR, "Write() Error Sending command [data] [%s]\n", aError_GetErrorText(err));
  return err;
}

aErr NXPSerialClass::AwaitBlockAnswer(const std::vector<std::string>& sent, std::string& answer) {
  aDeadline deadline = Deadline(8, CHECKSUM_MARGIN_MS);
  size_t echoed = 0;
  for (;;) {
    aErr err = ReadLine(answer, deadline);
    if (err != aErrNone)
      return err;
    // Skip the echo of what was sent, in order.
    if (echoed < sent.size() && answer == sent[echoed]) {
      echoed++;
      continue;
    }
    return aErrNone;
  }
}

aErr NXPSerialClass::Read(unsigned address, unsigned count, uint8_t* out) {
  if (count == 0 || count % 4 || !out)
    return aErrParam;
  aErr err = Command("R " + std::to_string(address) + " " + std::to_string(count), REPLY_MARGIN_MS);
  if (err != aErrNone)
    return err;
  unsigned accepted = 0, failures = 0;
  while (accepted < count) {
    unsigned pos = accepted;
    uint32_t blockSum = 0;
    std::string line;
    for (unsigned lines = 0; lines < LINES_PER_CHECKSUM && pos < count; lines++) {
      err = ReadLine(line, Deadline(64, CHECKSUM_MARGIN_MS));
      if (err != aErrNone)
        return err;
      size_t n = uudecode(out + pos, count - pos, line.c_str());
      if (n == 0)
        return aErrIO;
      blockSum += sum(out + pos, static_cast<unsigned>(n));
      pos += static_cast<unsigned>(n);
    }
    err = ReadLine(line, Deadline(12, CHECKSUM_MARGIN_MS));
    if (err != aErrNone)
      return err;
    uint32_t chip = 0;
    bool match = sUnsigned(line, chip) && chip == blockSum;
    const char* answer = match ? "OK" : "RESEND";
    err = WriteBytes(std::string(answer) + "\r\n");
    if (err != aErrNone)
      return err;
    if (echo) {
      std::string echoLine;
      ReadLine(echoLine, Deadline(8, REPLY_MARGIN_MS));
    }
    if (match) {
      accepted = pos;
      Log::log(DEBUG_NXPSerial_E, "valid receipt of %u of %u (%.0f%%) bytes\n", accepted, count,
               100.0 * accepted / count);
    } else if (++failures >= MAX_READ_RETRY) {
      return aErrTimeout;
    }
  }
  return aErrNone;
}

unsigned NXPSerialClass::CopyLength(unsigned count) {
  if (count <= 256)
    return 256;
  if (count <= 512)
    return 512;
  if (count <= 1024)
    return 1024;
  if (count <= 4096)
    return 4096;
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", count);
  return count;
}

unsigned NXPSerialClass::SectorFromAddress(unsigned address) {
  for (const Sector* s = NXP_LPC17XX_sectors; s->start != 0xFFFFFFFF; s++)
    if (address >= s->start && address < s->start + s->length)
      return s->number;
  return 30;
}

bool NXPSerialClass::PlanPiece(uint32_t address, uint32_t remaining, uint32_t* base, uint32_t* copyLength,
                               uint32_t* take) {
  uint32_t b = address & ~255u;
  if (remaining == 0 || address >= FLASH_SIZE)
    return false;
  uint32_t offset = address - b;
  uint32_t want = std::min<uint32_t>(offset + remaining, 4096);
  uint32_t length = CopyLength(want);
  // A window must not run past the end of the flash: take a smaller one.
  static const uint32_t kLengths[] = {4096, 1024, 512, 256};
  for (uint32_t l : kLengths)
    if (l <= length && b + l <= FLASH_SIZE) {
      length = l;
      break;
    }
  if (b + length > FLASH_SIZE)
    return false;
  *base = b;
  *copyLength = length;
  *take = std::min(remaining, length - offset);
  return true;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, unsigned count) {
  uint32_t total = 0;
  for (unsigned i = 0; i < count; i++)
    total += data[i];
  return total;
}

char NXPSerialClass::uuchar(unsigned value) {
  value &= 0x3F;
  return value ? static_cast<char>(32 + value) : '`';
}

size_t NXPSerialClass::uuencode(char* line, const uint8_t* data, size_t count) {
  count = std::min<size_t>(count, MAX_BYTES_PER_LINE);
  size_t pos = 0;
  line[pos++] = uuchar(static_cast<unsigned>(count));
  for (size_t i = 0; i < count; i += 3) {
    uint32_t group = 0;
    for (size_t k = 0; k < 3; k++)
      group = (group << 8) | (i + k < count ? data[i + k] : 0);
    line[pos++] = uuchar(group >> 18);
    line[pos++] = uuchar(group >> 12);
    line[pos++] = uuchar(group >> 6);
    line[pos++] = uuchar(group);
  }
  line[pos] = 0;
  return count;
}

size_t NXPSerialClass::uudecode(uint8_t* out, size_t room, const char* line) {
  if (!line || !*line)
    return 0;
  size_t count = (static_cast<unsigned char>(line[0]) - 32) & 0x3F;
  if (count > room)
    return 0;
  size_t length = std::strlen(line);
  size_t done = 0, pos = 1;
  while (done < count) {
    if (pos + 4 > length) {
      Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
      return 0;
    }
    uint32_t group = 0;
    for (int k = 0; k < 4; k++)
      group = (group << 6) | ((static_cast<unsigned char>(line[pos++]) - 32) & 0x3F);
    for (int shift = 16; shift >= 0 && done < count; shift -= 8)
      out[done++] = static_cast<uint8_t>(group >> shift);
  }
  return count;
}
