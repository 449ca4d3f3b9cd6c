// Lock words worked by atomic exchange alone: an operation exchanges the busy
// value in, decides from the old value, and exchanges its verdict back in.  A
// competitor that meets the busy value is told so and retries.
#include "qira.h"

#include <time.h>

namespace {

constexpr uint32_t kBusy = 0x4000000;
constexpr uint32_t kExclusive = 0x2000000;
constexpr uint32_t kOtherHold = 0x1000000;  // refuses exclusive locking; set elsewhere
constexpr uint32_t kShares = 0xFFFFFF;
constexpr uint32_t kMeaningful = 0x7FFFFFF;  // bits 27-31 carry nothing

constexpr uint32_t kDone = 0;
constexpr uint32_t kWasBusy = 1;
constexpr uint32_t kHeldExclusive = 2;
constexpr uint32_t kSharesPresent = 4;
constexpr uint32_t kOtherHeld = 16;
constexpr uint32_t kNothingHeld = 32;

// The simple lock keeps trying for this long, and retries every code.
constexpr uint32_t kSimpleLimitMs = 10000;
constexpr uint32_t kSimpleRetryMask = 0x7F;

uint32_t exchange(uint32_t *word, uint32_t value) {
  return __atomic_exchange_n(word, value, __ATOMIC_SEQ_CST);
}

// Calls op until its code shares no bit with mask, sleeping between tries,
// and gives up once the clock has moved more than limit ms past the first
// failure (never, with a limit of 0).
uint32_t retry(uint32_t (*op)(uint32_t *), uint32_t *word, uint32_t limit, uint32_t mask) {
  uint32_t r = op(word);
  if (!(r & mask)) return r;
  const uint32_t start = TimeDate_mscounter();
  do {
    if (limit != 0 && TimeDate_mscounter() - start > limit) break;
    ResL_Yield();
    r = op(word);
  } while (r & mask);
  return r;
}

uint32_t simple(QiraSimpleLock *lock, uint32_t (*op)(uint32_t *)) {
  const uint32_t r = retry(op, &lock->word, kSimpleLimitMs, kSimpleRetryMask);
  if (r == kDone) return 1;
  lock->lastcode = r;
  return 0;
}

}  // namespace

extern "C" {

QIRA_API uint32_t ResL_Init(uint32_t *word) {
  exchange(word, 0);
  return kDone;
}

QIRA_API uint32_t ResL_ExclLock(uint32_t *word) {
  const uint32_t old = exchange(word, kBusy);
  if ((old & kMeaningful) == 0) {
    exchange(word, kExclusive);
    return kDone;
  }
  // Whoever set busy writes the word back when done.
  if (old & kBusy) return kWasBusy;
  exchange(word, old);
  if (old & kOtherHold) return kOtherHeld;
  if (old & kExclusive) return kHeldExclusive;
  return kSharesPresent;
}

QIRA_API uint32_t ResL_LockFree(uint32_t *word) {
  const uint32_t old = exchange(word, kBusy);
  if (old & kBusy) return kWasBusy;
  uint32_t value = old;
  uint32_t r = kDone;
  if (old & kExclusive) value = old & ~kExclusive;
  else if (old & kShares) value = old - 1;
  else r = kNothingHeld;
  exchange(word, value);
  return r;
}

QIRA_API void ResL_SimpleInit(QiraSimpleLock *lock) {
  ResL_Init(&lock->word);
  lock->lastcode = 0;
}

QIRA_API uint32_t ResL_SimpleLock(QiraSimpleLock *lock) { return simple(lock, ResL_ExclLock); }

QIRA_API uint32_t ResL_SimpleUnLock(QiraSimpleLock *lock) { return simple(lock, ResL_LockFree); }

QIRA_API int32_t ResL_Yield(void) {
  const timespec req = {0, 1000};
  return nanosleep(&req, nullptr);
}

}  // extern "C"
