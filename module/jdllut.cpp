// Finding a sibling type among the types registered with ours, and the
// reference counter of blocks shared between objects.
#include "module/jparams.h"

namespace {

// A count at this value is pinned: it never moves again, so a block whose
// count overflowed leaks instead of being freed under a holder.
constexpr uint32_t kRefCountLimit = 0xFFFFFFFFu;

bool _x_typehasinit(const QiraTypeRecord *type, void (*init)(void *)) {
  return type->info && type->info->init == init;
}

}  // namespace

// The types registered together with ours form a ring through word 0 of their
// records; the sibling is the one whose private data we initialise ourselves.
extern "C" QIRA_API QiraTypeRecord *TARVOUtil_GetTypeInSameModule(QiraHostFn *table, void *obj,
                                                                  void (*init)(void *priv)) {
  const auto typeofobj = _x_hostapi<QiraHost_TypeOf>(table, QIRA_API_TYPEOF);
  if (!typeofobj) return nullptr;
  const QiraObjRef ref = {.obj = obj, .word = 0};
  QiraTypeRecord *const first = typeofobj(&ref);
  if (!first) return nullptr;
  QiraTypeRecord *type = first;
  do {
    if (_x_typehasinit(type, init)) return type;
    type = type->next;
  } while (type && type != first);
  return nullptr;
}

extern "C" QIRA_API void TARVOUtil_RefCountInit(QiraRefCount *c) {
  c->count = 0;
  c->limit = kRefCountLimit;
}

extern "C" QIRA_API void TARVOUtil_RefCountInc(QiraRefCount *c) {
  if (c->count != c->limit) ++c->count;
}

// Dropping a count that is already 0 is a caller's bug; it lands on the
// limit and pins the count there, so the block leaks rather than being freed twice.
extern "C" QIRA_API uint32_t TARVOUtil_RefCountDecIsZero(QiraRefCount *c) {
  if (c->count != c->limit) --c->count;
  return c->count == 0 ? 1 : 0;
}
