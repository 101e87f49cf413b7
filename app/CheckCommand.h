// -C: loads a BIRD file as an update would, shows what it holds and says
// whether an update would accept it.
#pragma once
#include <string>

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

// What -C concluded about the file.
struct CheckVerdict {
  enum Verdict {
    Refused,         // an update would refuse it
    Accepted,        // an update of the module named (-d) would accept it
    AcceptedIfFits,  // no module named: an update would accept it for the modules it fits
  };
  std::string file;  // as given with -f
  Verdict verdict = Refused;
  std::string reason;  // the line that said the verdict, as the user was shown it
  // Refused: the code an update gives the same refusal (aErrParse for the file,
  // aErrParam for what was asked of it); aErrNone otherwise.
  aErr error = aErrNone;

  // 0 when an update would accept the file, 1 when it would refuse it.
  int ExitCode() const { return verdict == Refused ? 1 : 0; }
};

CheckVerdict CheckBirdFile(const Parameters& parameters, const std::string& updaterDirectory,
                           UpdaterDisplayInterface& display);
