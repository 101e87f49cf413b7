#include "aLogger.h"

#include <atomic>
#include <new>
#include <system_error>
#include <thread>

#define aLOGGER_VALID 0xDEED

struct aLogger {
  uint16_t check;
  uint32_t reference;
  aLoggerCallback callback;
  aFileRef file;
  std::thread worker;
  // Set by the worker itself: the std::thread handle is still being assigned
  // by the starting thread when the worker begins.
  std::atomic<std::thread::id> workerId;
  std::atomic<bool> running;
};

static bool sValid(const aLogger* logger) { return logger && logger->check == aLOGGER_VALID; }

static bool sOnWorker(const aLogger* logger) { return logger->workerId.load() == std::this_thread::get_id(); }

static void sWorkerProcess(aLogger* logger) {
  logger->workerId = std::this_thread::get_id();
  while (logger->running.load())
    logger->callback(logger->file, logger->reference);
}

aLogger* aLogger_Create(uint32_t reference, aLoggerCallback callback, const char* path) {
  if (!callback)
    return nullptr;
  aLogger* logger = new (std::nothrow) aLogger;
  if (!logger)
    return nullptr;
  logger->file = aFile_Open(path, aFileModeAppend);
  if (!logger->file) {
    delete logger;
    return nullptr;
  }
  aFile_SetUnbuffered(logger->file);
  logger->reference = reference;
  logger->callback = callback;
  logger->running = false;
  logger->workerId = std::thread::id();
  logger->check = aLOGGER_VALID;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!sValid(logger))
    return aErrParam;
  if (logger->running.load())
    return aErrNone;
  // A worker that stopped itself earlier must be joined before its handle is reused.
  if (logger->worker.joinable() && !sOnWorker(logger))
    logger->worker.join();
  logger->running = true;
  try {
    logger->worker = std::thread(sWorkerProcess, logger);
  } catch (const std::system_error&) {
    logger->running = false;
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
  if (!sValid(logger))
    return aErrParam;
  if (!logger->running.load() && !logger->worker.joinable())
    return aErrNone;
  if (sOnWorker(logger))
    return aErrNone;
  logger->running = false;
  try {
    logger->worker.join();
  } catch (const std::system_error&) {
    return aErrUnknown;
  }
  // Thread ids are reused once joined.
  logger->workerId = std::thread::id();
  return aErrNone;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (!logger || !sValid(*logger))
    return aErrParam;
  aLogger* l = *logger;
  // From inside the callback the worker would go on running on freed memory.
  if (sOnWorker(l))
    return aErrBusy;
  aErr err = aLogger_Disable(l);
  if (err != aErrNone)
    return err;
  aFile_Close(&l->file);
  l->check = 0;
  delete l;
  *logger = nullptr;
  return aErrNone;
}
