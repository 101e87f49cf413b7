// What a run's commands returned, kept for the machine-readable result (--json).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "StoreReport.h"
#include "CheckCommand.h"
#include "Updater.h"
#include "update/ModuleOutcome.h"

struct RunRecord {
  struct Discovery {
    bool ran = false;
    linkType type = linkTypeInvalid;  // the transport asked for; invalid lets a router be found first
    uint32_t routerSerialNumber = 0;
    std::vector<DeviceInfo> devices;
  };
  struct Builds {
    bool ran = false;
    BuildListResult result;
  };
  struct Download {
    bool ran = false;
    DownloadResult result;
  };
  struct Fingerprint {
    bool ran = false;
    FingerprintOutcome outcome;
  };
  // A recovery's module outcome is among the update's; this adds its chip.
  struct Recovery {
    bool ran = false;
    RecoveryOutcome outcome;
  };
  struct Updates {
    bool ran = false;
    uint32_t buildRequested = 0;  // 0 lets the updater choose
    std::vector<ModuleOutcome> outcomes;
  };
  struct Check {
    bool ran = false;
    CheckVerdict verdict;
  };
  // A refusal of the run itself (the command line, a command missing what it needs),
  // which none of the results above holds.
  struct Refusal {
    int code = 0;  // the link library's code for the cause
    std::string text;
  };

  Discovery discovery;
  Builds builds;
  Download download;
  Updates updates;
  Fingerprint fingerprint;
  Recovery recovery;
  StoreContents store;  // -I
  Check check;
  Refusal refusal;
  // The command wrote its own JSON (a plan's document, a station's lines);
  // a run that stopped before it still owes its reader the usual document.
  bool ownJson = false;
};
