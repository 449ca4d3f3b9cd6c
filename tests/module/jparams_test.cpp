// Argument readers and writers and the sibling type search, against a fake host that logs every
// call: what the objects tests' real calls do not reach (boundaries, flags, hand-back).
#include <map>
#include <vector>

#include <gtest/gtest.h>

#include "qira.h"

namespace {

constexpr uint32_t kPoison = 0xDEADBEEF;
using U = uintptr_t;
using Call = std::vector<U>;  // host API ID, then the arguments
using Log = std::vector<Call>;
U W(const void *p) { return reinterpret_cast<U>(p); }

// The host's side.  A value the fake builds carries the builder's ID in word 0,
// so whatever is assigned or freed later shows where it came from.
struct Fake {
  Log log;
  std::map<U, uint32_t> rc;                   // answer per ID, 0 when not set
  uint16_t flag1 = 0, flag2 = 0, sign = 1;    // sign from 304, also the value from 300
  std::vector<uint16_t> units = {'a', 'b'};   // text from 303, digits from 304
  QiraTypeRecord *type = nullptr;             // what 108 answers
  QiraHostApi table = {};
  QiraModuleCtx mc{};
  QiraArgSlot slots[2] = {{.tag = QIRA_TAG_INT, .u = {}}, {.tag = QIRA_TAG_INT, .u = {}}};
  int var = 0;  // stands for a host variable or object
  Fake();
} *g;

uint32_t Note(Call call) {
  g->log.push_back(call);
  return g->rc[call[0]];
}

Fake::Fake() {
  using S = QiraArgSlot *;
  using V = QiraValue *;
  using M = QiraModuleCtx *;
  using P = const uint16_t *;
  using F = uint16_t *;
  g = this;
  const auto set = [](uint32_t at, auto fn) { g->table[at] = reinterpret_cast<QiraHostFn>(fn); };
  set(QIRA_API_TYPEOF, +[](const QiraObjRef *r) { return Note({108, W(r->obj), r->word}), g->type; });
  set(QIRA_API_ASSIGN, +[](void *o, U w, uint32_t t, V v, uint16_t f) {
    return Note({111, W(o), w, t, v->w[0], f});
  });
  set(QIRA_API_SETPROP, +[](void *o, U w, uint32_t sym, uint32_t t, V v, uint16_t f) {
    return Note({112, W(o), w, sym, t, v->w[0], f});
  });
  set(QIRA_API_GETBOOL, +[](S s, F f, F v) { return *f = g->flag1, *v = g->sign, Note({300, W(s)}); });
  set(QIRA_API_GETSTR, +[](S s, F f1, F f2, P *c, uint32_t *n) {
    *f1 = g->flag1, *f2 = g->flag2, *c = g->units.data(), *n = uint32_t(g->units.size());
    return Note({303, W(s)});
  });
  set(QIRA_API_GETINT, +[](S s, F f1, F f2, F sign, uint32_t *n, P *d) {
    *f1 = g->flag1, *f2 = g->flag2, *sign = g->sign, *n = uint32_t(g->units.size());
    return *d = g->units.empty() ? nullptr : g->units.data(), Note({304, W(s)});
  });
  set(QIRA_API_FREEVAL, +[](uint32_t t, V v) { return Note({400, t, v->w[0]}); });
  set(QIRA_API_MKBOOL, +[](V v, uint16_t b) { return v->w[0] = 401, Note({401, b}); });
  set(QIRA_API_MKU32, +[](M m, V v, uint16_t s, uint32_t n) { return v->w[0] = 402, Note({402, W(m), s, n}); });
  set(QIRA_API_MKINT, +[](M mc, V v, uint16_t sign, P d, uint32_t n) {
    return v->w[0] = 404, Note({404, W(mc), sign, W(d), n});
  });
  set(QIRA_API_MKSTR, +[](M mc, V v, P c, uint32_t n) { return v->w[0] = 405, Note({405, W(mc), W(c), n}); });
  set(QIRA_API_TOINT, +[](M mc, V v) { return Note({430, W(mc), W(v)}); });
}

struct Helpers : testing::Test, Fake {};

// Codes given before the host is asked anything: an absent argument, a value
// that is not a variable, a missing host function, no reference to write to.
TEST_F(Helpers, CodesAtTheBoundariesAskNothingOfTheHost) {
  QiraHostApi none = {};
  const uint16_t *p = nullptr;
  uint32_t n = kPoison, v = kPoison;
  uint16_t s = 7, b = 7;
  QiraObjRef ref = {.obj = &var, .word = kPoison};
  slots[1].tag = QIRA_TAG_VARREF;
  EXPECT_EQ(TARVOParam_StrParam(&mc, table, 0, slots, &p, &n), QIRA_ERR_MISSINGPARAM);
  EXPECT_EQ(TARVOParam_IntParam(&mc, table, 0, slots, &s, &p, &n), QIRA_ERR_MISSINGPARAM);
  EXPECT_EQ(TARVOParam_IntDigitsFromNumericParam(&mc, table, 0, slots, &s, &p, &n),
            QIRA_ERR_MISSINGPARAM);
  EXPECT_EQ(TARVOParam_ObjParam(table, 0, slots, &ref), QIRA_OK);
  EXPECT_EQ(TARVOParam_VxmemsizeParam(&mc, table, 0, slots, &v, 1, 5), QIRA_OK);
  EXPECT_EQ(TARVOParam_BoolParam(&mc, table, 0, slots, &b), QIRA_OK);
  EXPECT_EQ(TARVOParam_ObjParam(table, 1, slots, &ref), QIRA_ERR_NOTVARIABLE);
  EXPECT_EQ(TARVOParam_ObjParam(none, 2, slots, &ref), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOParam_StrParam(&mc, none, 1, slots, &p, &n), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOParam_IntDigitsFromNumericParam(&mc, none, 2, slots, &s, &p, &n),
            QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOParam_BoolParam(&mc, nullptr, 1, slots, &b), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOUtil_SetObjVxu32int(none, &mc, &ref, 1, 0), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOUtil_SetPropString(none, &mc, &ref, 3, p, 0, 1), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOUtil_SetPropIntDigits(none, &mc, &ref, 4, 0, p, 0, 1), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOUtil_SetPropBool(none, &ref, 10, 1, 1), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOUtil_SetPropConst(none, &ref, 4, 0, 1), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOUtil_SetObjVxu32int(table, &mc, nullptr, 1, 0), QIRA_ERR_NOTVARIABLE);
  EXPECT_EQ(TARVOUtil_SetPropString(table, &mc, nullptr, 3, p, 0, 1), QIRA_ERR_WRONGKIND);
  EXPECT_EQ(TARVOUtil_SetPropIntDigits(table, &mc, nullptr, 4, 0, p, 0, 1), QIRA_ERR_WRONGKIND);
  EXPECT_EQ(TARVOUtil_SetPropBool(table, nullptr, 10, 1, 1), QIRA_ERR_WRONGKIND);
  EXPECT_EQ(TARVOUtil_SetPropConst(table, nullptr, 4, 0, 1), QIRA_ERR_WRONGKIND);
  EXPECT_EQ(log, Log{});
  EXPECT_EQ(Call({n, v, s, b, W(ref.obj)}), Call({kPoison, kPoison, 7, 7, W(&var)}));
}

// Flags count only when exactly 1; outputs are written only on success.
TEST_F(Helpers, ReadersMapHostFlagsAndPassHostFailuresOn) {
  enum Reader { kStr = 303, kInt = 304, kBool = 300 };
  const struct { Reader r; uint16_t f1, f2; uint32_t hostrc, want; } cases[] = {
      {kStr, 0, 0, 0, QIRA_OK},         {kStr, 1, 0, 0, QIRA_ERR_EMPTY}, {kStr, 0, 1, 0, QIRA_ERR_TOOLONG},
      {kStr, 1, 1, 0, QIRA_ERR_EMPTY},  {kStr, 2, 2, 0, QIRA_OK},        {kStr, 0, 0, 999, 999},
      {kInt, 1, 0, 0, QIRA_ERR_RANGE},  {kInt, 0, 1, 0, QIRA_ERR_RANGE}, {kInt, 2, 2, 0, QIRA_OK},
      {kInt, 0, 0, 998, 998},           {kBool, 1, 0, 0, QIRA_ERR_RANGE}, {kBool, 2, 0, 0, QIRA_OK},
      {kBool, 0, 0, 997, 997}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.r << ": " << c.f1 << "," << c.f2 << " rc " << c.hostrc);
    flag1 = c.f1, flag2 = c.f2, rc[c.r] = c.hostrc;
    log.clear();
    const uint16_t *p = nullptr;
    uint32_t n = kPoison;
    uint16_t s = 7, b = 7;
    EXPECT_EQ(c.r == kStr   ? TARVOParam_StrParam(&mc, table, 2, slots, &p, &n)
              : c.r == kInt ? TARVOParam_IntParam(&mc, table, 2, slots, &s, &p, &n)
                            : TARVOParam_BoolParam(&mc, table, 2, slots, &b),
              c.want);
    EXPECT_EQ(log, (Log{{U(c.r), W(&slots[1])}})) << "position 2 is the second slot";
    const bool ok = c.want == QIRA_OK, text = ok && c.r != kBool;
    EXPECT_EQ(Call({W(p), n, s, b}),
              Call({text ? W(units.data()) : 0, text ? 2 : kPoison, ok && c.r == kInt ? 1u : 7u,
                    ok && c.r == kBool ? 1u : 7u}));
  }
}

// A real number, which no method is handed in the objects tests, is converted in place first.
TEST_F(Helpers, MemsizeWithinBoundsInAtMostTwoDigits) {
  constexpr U kInt = QIRA_TAG_INT;
  constexpr uint32_t kRange = QIRA_ERR_RANGE;
  const struct {
    U tag;
    uint16_t sign;  // -0 is still negative
    std::vector<uint16_t> digits;
    uint32_t min, max, want, value;
  } cases[] = {{kInt, 0, {0}, 1, 5, kRange, 0},         {kInt, 0, {1}, 1, 5, QIRA_OK, 1},
               {kInt, 0, {5}, 1, 5, QIRA_OK, 5},        {kInt, 0, {6}, 1, 5, kRange, 0},
               {kInt, 1, {1}, 1, 5, kRange, 0},         {kInt, 1, {0}, 0, 5, kRange, 0},
               {kInt, 0, {5, 0, 0}, 0, ~0u, kRange, 0}, {kInt, 0, {0xFFFF, 0xFFFF}, 0, ~0u, QIRA_OK, ~0u},
               {kInt, 0, {0x5678, 0x1234}, 0, ~0u, QIRA_OK, 0x12345678},
               {QIRA_TAG_NUMERIC, 0, {3}, 1, 5, QIRA_OK, 3}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.sign << " " << c.digits.size() << " " << c.value);
    slots[0].tag = c.tag, sign = c.sign, units = c.digits;
    log.clear();
    uint32_t value = kPoison;
    EXPECT_EQ(TARVOParam_VxmemsizeParam(&mc, table, 1, slots, &value, c.min, c.max), c.want);
    EXPECT_EQ(value, c.want == QIRA_OK ? c.value : kPoison);
    EXPECT_EQ(log.size(), c.tag == kInt ? 1u : 2u);
    EXPECT_EQ(slots[0].tag, kInt) << "converted once, in place";
  }
}

// A value the host built and then refused goes back to it; a boolean or a
// constant holds nothing of the host's.
TEST_F(Helpers, WritersHandBackWhatTheHostRefused) {
  static const uint16_t text[] = {'x', 'y', 'z'};
  const QiraObjRef ref = {.obj = &var, .word = 6};
  const struct { Call built; uint32_t tag; bool frees; } cases[] = {
      {{402, W(&mc), 0, 0x12345678}, QIRA_TAG_INT, true},
      {{405, W(&mc), W(text), 3}, QIRA_TAG_STRING, true},
      {{404, W(&mc), 1, W(text), 2}, QIRA_TAG_INT, true},
      {{401, 1}, QIRA_TAG_BOOL, false},
      {{}, QIRA_TAG_NONE, false}};
  for (const auto &c : cases) {
    const U builder = c.built.empty() ? 0 : c.built[0], setter = builder == 402 ? 111 : 112;
    for (uint32_t fail : {0u, 1u, 2u}) {  // nothing, the setter refuses, the builder fails
      SCOPED_TRACE(testing::Message() << "builder " << builder << ", failure " << fail);
      if (fail == 2 && !builder) continue;
      log.clear();
      rc = {{setter, fail == 1 ? QIRA_ERR_ACCESS : 0}, {builder, fail == 2 ? QIRA_ERR_NOMEM : 0}};
      EXPECT_EQ(builder == 402   ? TARVOUtil_SetObjVxu32int(table, &mc, &ref, 0x12345678, 0)
                : builder == 405 ? TARVOUtil_SetPropString(table, &mc, &ref, 3, text, 3, 1)
                : builder == 404 ? TARVOUtil_SetPropIntDigits(table, &mc, &ref, 3, 1, text, 2, 1)
                : builder == 401 ? TARVOUtil_SetPropBool(table, &ref, 3, 1, 1)
                                 : TARVOUtil_SetPropConst(table, &ref, 3, QIRA_TAG_NONE, 1),
                fail == 0 ? QIRA_OK : fail == 1 ? QIRA_ERR_ACCESS : QIRA_ERR_NOMEM);
      Log want;
      if (builder) want.push_back(c.built);
      if (fail != 2 && setter == 111) want.push_back({111, W(&var), 6, c.tag, builder, 0});
      if (fail != 2 && setter == 112) want.push_back({112, W(&var), 6, 3, c.tag, builder, 1});
      if (fail == 1 && c.frees) want.push_back({400, c.tag, builder});
      EXPECT_EQ(log, want);
    }
  }
}

template <int>
void Init(void *) {}

TEST_F(Helpers, SiblingTypeFoundAroundTheRingOfItsModule) {
  void (*inits[3])(void *) = {Init<0>, Init<1>, Init<2>};
  QiraTypeInfo info[3] = {};
  QiraTypeRecord rec[3] = {};
  for (int i = 0; i < 3; ++i) {
    info[i].kind = QIRA_KIND_TYPEOBJECT, info[i].init = inits[i];
    rec[i].info = &info[i], rec[i].next = &rec[(i + 1) % 3];
  }
  type = &rec[1];  // the object's own type
  const auto find = [&](void (*init)(void *)) { return TARVOUtil_GetTypeInSameModule(table, &var, init); };
  EXPECT_EQ(find(Init<1>), &rec[1]);
  EXPECT_EQ(find(Init<0>), &rec[0]) << "found past the ring's start";
  EXPECT_EQ(find(Init<3>), nullptr) << "the search ends where it began";
  rec[2].next = nullptr;
  EXPECT_EQ(find(Init<0>), nullptr) << "a broken ring ends the search";
  type = nullptr;
  EXPECT_EQ(find(Init<1>), nullptr);
}

}  // namespace
