// The wrapping millisecond clock.  Users compare readings only through their
// 32-bit difference, so the wrap every 49.7 days does no harm.
#include "qira.h"

#include <sys/time.h>
#include <time.h>

extern "C" QIRA_API uint32_t TimeDate_mscounter(void) {
  timeval tv;
  if (gettimeofday(&tv, nullptr) == 0)
    return uint32_t(uint64_t(tv.tv_sec) * 1000u + uint64_t(tv.tv_usec) / 1000u);
  return uint32_t(uint64_t(time(nullptr)) * 1000u);
}
