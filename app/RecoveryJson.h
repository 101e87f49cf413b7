// The machine-readable result of the commands that talk to a chip in
// recovery mode: -N's chip and fingerprint, a recovery's chip in its result.
#pragma once
#include "JsonOutput.h"
#include "RunRecord.h"

namespace JsonOutput {

// -N: "fingerprint" with the chip family, whether it was read and, when read, its four words.
void FingerprintRead(Json& document, const RunRecord::Fingerprint& fingerprint);
// -U -t RECOVER: "recovery" in the update's result: the chip, its fingerprint, the build written
// and how the chip was proved to hold it.
void RecoveryResult(Json& document, const RunRecord::Recovery& recovery);

}  // namespace JsonOutput
