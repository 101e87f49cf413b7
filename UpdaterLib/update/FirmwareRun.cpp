#include "update/FirmwareRun.h"

#include <algorithm>
#include <cstring>

#include "Interrupt.h"
#include "Log.h"
#include "ModuleCommands.h"
#include "aBytes.h"
#include "update/UpdaterEntity.h"

using Tessoral::Kovalink::cmdUPGRADE;

namespace {
// How often the caller's thread shows progress while the blocks go.
constexpr unsigned long kTickMS = 100;
}  // namespace

FirmwareRun::FirmwareRun(const Plan& plan, UpdaterDisplayInterface* display)
    : plan_(plan), display_(display), logModule_(Log::ThreadModule()) {
  remaining_ = plan.length - 4;
  position_ = plan.content + 4;
  if (remaining_ == 0)
    step_ = Step::Over;
  else
    startPiece();
}

aLinkExchanges FirmwareRun::exchanges() {
  aLinkExchanges ex;
  ex.request = cbRequest;
  ex.answers = cbAnswers;
  ex.reply = cbReply;
  ex.tick = cbTick;
  ex.context = this;
  ex.replyTimeoutMS = Tessoral::Kovalink::kReplyTimeoutMS;
  ex.tickMS = kTickMS;
  return ex;
}

// The exchange thread logs for the module whose run it serves, as the
// caller's thread would have: its lines are marked, and kept off the user's
// lines in a fleet, the same way.
aPacket* FirmwareRun::cbRequest(void* context) {
  FirmwareRun* run = static_cast<FirmwareRun*>(context);
  Log::ModuleScope scope(run->logModule_);
  return run->request();
}

// Another module's packet on a shared link is never the answer, however alike.
bool FirmwareRun::cbAnswers(const aPacket* packet, void* context) {
  const FirmwareRun* run = static_cast<const FirmwareRun*>(context);
  return packet && packet->address == run->plan_.address && packet->dataSize >= 2 && packet->data[0] == cmdUPGRADE &&
         packet->data[1] == run->answerOption_;
}

void FirmwareRun::cbReply(void* context, const aPacket* answer) {
  FirmwareRun* run = static_cast<FirmwareRun*>(context);
  Log::ModuleScope scope(run->logModule_);
  run->reply(answer);
}

void FirmwareRun::cbTick(void* context) { static_cast<FirmwareRun*>(context)->showProgress(); }

void FirmwareRun::showProgress() {
  uint32_t sent = sent_.load();
  if (sent == shown_ || !display_)
    return;
  shown_ = sent;
  display_->update_transfer(sent, plan_.length, nullptr);
}

// A stop between pieces leaves nothing half sent: the module is at a piece boundary.
void FirmwareRun::startPiece() {
  if (Interrupt::Requested()) {
    result_ = aErrCancel;
    step_ = Step::Over;
    return;
  }
  piece_ = std::min(remaining_, plan_.pieceSize);
  pieceLeft_ = piece_;
  sum_ = 0;
  resends_ = 0;
  step_ = Step::Data;
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
}

void FirmwareRun::fail(aErr why) {
  result_ = why;
  step_ = Step::Over;
}

aPacket* FirmwareRun::request() {
  if (step_ == Step::Over)
    return nullptr;
  uint8_t option = val_UPGRADE_WRITE;
  const uint8_t* payload = nullptr;
  uint8_t length = 0;
  uint8_t count[2];
  answerOption_ = val_UPGRADE_STATUS;
  if (step_ == Step::Data) {
    chunk_ = static_cast<uint8_t>(std::min(pieceLeft_, UPGRADE_CHUNK_SIZE));
    payload = position_ + (piece_ - pieceLeft_);
    length = chunk_;
    option = answerOption_ = val_UPGRADE_DATA;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", chunk_);
  } else if (step_ == Step::Sum) {
    option = val_UPGRADE_SUM;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  } else {
    aBytes_PutBE16(count, static_cast<uint16_t>(piece_ & 0xFFFF));
    payload = count;
    length = sizeof count;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             static_cast<int>(piece_));
  }
  aPacket* packet = UpgradeRequest(plan_.address, option, payload, length);
  if (!packet)
    fail(aErrResource);
  return packet;
}

// Bytes an answer did not carry read as 0xFF, so a short answer never looks like status 0.
void FirmwareRun::reply(const aPacket* answer) {
  uint8_t bytes[aPACKET_MAX_DATA];
  memset(bytes, 0xFF, sizeof bytes);
  uint8_t length = 0;
  if (answer) {
    length = std::min<uint8_t>(answer->dataSize, aPACKET_MAX_DATA);
    memcpy(bytes, answer->data, length);
  }
  if (step_ == Step::Data)
    replyData(answer ? bytes : nullptr, length);
  else if (step_ == Step::Sum)
    replySum(answer ? bytes : nullptr, length);
  else if (step_ == Step::Write)
    replyWrite(answer ? bytes : nullptr);
}

void FirmwareRun::replyData(const uint8_t* reply, uint8_t length) {
  if (!reply) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
    fail(aErrPacket);
    return;
  }
  uint8_t count = length > 2 ? reply[2] : 0;
  if (count != chunk_) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", count, chunk_);
    // A module that keeps refusing the same chunk is not going to take it.
    if (++resends_ > plan_.maxChunkResends) {
      Log::log(0, "\nNETWORK: Chunk refused %u times, giving up.\n", resends_);
      fail(aErrPacket);
    }
    return;
  }
  resends_ = 0;
  const uint8_t* data = position_ + (piece_ - pieceLeft_);
  for (uint8_t i = 0; i < chunk_; i++)
    sum_ += data[i];
  pieceLeft_ -= chunk_;
  chunkCount_++;
  if (pieceLeft_ > 0)
    return;
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(piece_),
           static_cast<int>(piece_));
  if (plan_.validate)
    step_ = Step::Sum;
  else
    finishPiece();
}

// The module's sum of what it accepted must match ours.
void FirmwareRun::replySum(const uint8_t* reply, uint8_t length) {
  if (!reply) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    fail(aErrPacket);
    return;
  }
  uint8_t status = reply[2];
  uint32_t moduleSum = aBytes_GetBE32(reply + 3);
  if (status != 0 || length < 7 || moduleSum != sum_) {
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum_, moduleSum);
    fail(aErrInvalidOption);
    return;
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum_,
           moduleSum, static_cast<int>(chunkCount_));
  finishPiece();
}

// The piece is in and checked; its write comes next, or the next piece.
void FirmwareRun::finishPiece() {
  remaining_ -= piece_;
  position_ += piece_;
  chunkCount_++;
  sent_ = plan_.length - remaining_;
  if (plan_.writes)
    step_ = Step::Write;
  else
    nextPiece();
}

void FirmwareRun::replyWrite(const uint8_t* reply) {
  if (!reply || reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    fail(aErrInvalidOption);
    return;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  written_ = plan_.length - remaining_;
  nextPiece();
}

void FirmwareRun::nextPiece() {
  if (remaining_ == 0)
    step_ = Step::Over;
  else
    startPiece();
}
