// A block of an image as one run of exchanges on the module's link: its
// DATA pieces, their sum check and (for firmware) the write of each piece,
// piece after piece; a loader block is one piece and is not written.
// The requests and answers are handled on the link core's exchange thread;
// the caller's thread only shows progress meanwhile.
#pragma once
#include <atomic>
#include <cstdint>

#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "aLinkRun.h"

class FirmwareRun {
public:
  struct Plan {
    uint8_t address = 0;
    const uint8_t* content = nullptr;  // the block, its 4 address bytes first
    uint32_t length = 0;
    uint32_t pieceSize = 0;  // the module's block size
    bool validate = true;
    bool writes = true;  // each piece is written once in (firmware; not a loader)
    uint32_t maxChunkResends = 0;
  };

  // `display` (may be null) shows the progress.
  FirmwareRun(const Plan& plan, UpdaterDisplayInterface* display);

  // The exchanges to hand to aLink_RunExchanges; this run is their context.
  aLinkExchanges exchanges();
  // aErrNone, or why the module did not take the image (set on the exchange thread).
  aErr result() const { return result_; }
  // Bytes of the block the module wrote, its address bytes included once a piece was in.
  uint32_t written() const { return written_; }
  // Shows the progress made since the last call (on the caller's thread).
  void showProgress();

private:
  enum class Step { Data, Sum, Write, Over };

  static aPacket* cbRequest(void* context);
  static bool cbAnswers(const aPacket* packet, void* context);
  static void cbReply(void* context, const aPacket* answer);
  static void cbTick(void* context);

  aPacket* request();
  void reply(const aPacket* answer);
  void replyData(const uint8_t* reply, uint8_t length);
  void replySum(const uint8_t* reply, uint8_t length);
  void replyWrite(const uint8_t* reply);
  void startPiece();
  void finishPiece();
  void nextPiece();
  void fail(aErr why);

  Plan plan_;
  UpdaterDisplayInterface* display_;
  Step step_ = Step::Data;
  uint8_t answerOption_ = 0;  // of the answer to the request in flight
  uint32_t remaining_ = 0;  // of the image, past the piece being sent
  const uint8_t* position_ = nullptr;
  uint32_t piece_ = 0;       // bytes of the piece being sent
  uint32_t pieceLeft_ = 0;   // of them not yet accepted
  uint8_t chunk_ = 0;        // bytes of the DATA request in flight
  uint32_t sum_ = 0;
  uint32_t resends_ = 0;
  uint32_t chunkCount_ = 0;
  aErr result_ = aErrNone;
  std::atomic<uint32_t> sent_{0};  // read by the caller's ticks meanwhile
  uint32_t written_ = 0;           // read once the run is over
  uint32_t shown_ = 0;
  uint32_t logModule_ = 0;  // the module the caller's thread logs for
};
