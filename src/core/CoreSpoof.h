#pragma once
// Anti-spoof bookkeeping of the capture flow: the lock-out decision, the liveness judgement of
// one finger and the persistence of the counters. Time is taken from an injectable clock so
// the rules can be exercised without waiting.
#include <ctime>
#include <functional>
#include <string>

class VELM_Core_Helper;

namespace velm::spoof {

// Clock of the capture flow, seconds since the epoch. Tests install their own before any
// capture runs; an empty function restores the system clock.
using Clock = std::function<time_t()>;
void SetClockForTesting(Clock clock);
time_t Now();

// Pause between the fingers of a multi-finger capture; tests may replace it.
using Pause = std::function<void(int milliseconds)>;
void SetPauseForTesting(Pause pause);
void PauseBetweenFingers(int milliseconds);

// Decides at the start of a capture whether the scanner is locked. Adjusts spoofAttempts
// (lowered by 3 when a lock-out has run out) and clears spoofReported whenever not locked.
bool IsLockedOut(VELM_Core_Helper& core, time_t now);

// Liveness threshold for this request.
int LivenessThreshold(bool isBRX500, bool premiumThreshold);

// Judges one finger: liveness is field 5 of the capture answer, quality field 3 (read only
// when it has no "L"; otherwise q keeps its previous value). Updates the counters, writes them
// to the configuration store (when core.utils is set) and returns true for a spoof.
// Throws std::invalid_argument when liveness is not a number.
bool JudgeLiveness(VELM_Core_Helper& core, const std::string& liveness, const std::string& quality, int threshold,
                   int& q, time_t now);

// Writes LAST_SPOOF_CHECK and SPOOF_ATTEMPT to the configuration store.
void PersistCounters(VELM_Core_Helper& core);

}  // namespace velm::spoof
