// Argument readers, the private-data accessor and the property writers, each
// against a fake host table.
#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "fakehost.h"
#include "qira.h"

namespace {

constexpr uint32_t kUntouched = 0xDEADBEEF;

class Params : public ::testing::Test {
 protected:
  Params() {
    std::memset(slots_, 0, sizeof slots_);
    for (QiraArgSlot &s : slots_) s.tag = QIRA_TAG_INT;
  }
  QiraModuleCtx *mc() { return &mc_; }

  fake::Host host_;
  QiraModuleCtx mc_{};
  QiraArgSlot slots_[3];
  int var_ = 0;  // stands for a host variable object
};

// ---- position 0 ------------------------------------------------------------------

TEST_F(Params, AbsentArgumentIsAnErrorOnlyWhereRequired) {
  const uint16_t *chars = nullptr;
  uint32_t n = kUntouched, value = kUntouched;
  uint16_t sign = 0, b = 0x7777;
  const uint16_t *digits = nullptr;
  QiraObjRef ref = {.obj = nullptr, .word = kUntouched};

  EXPECT_EQ(TARVOParam_StrParam(mc(), host_.table, 0, slots_, &chars, &n),
            QIRA_ERR_MISSINGPARAM);
  EXPECT_EQ(TARVOParam_IntParam(mc(), host_.table, 0, slots_, &sign, &digits, &n),
            QIRA_ERR_MISSINGPARAM);
  EXPECT_EQ(TARVOParam_IntDigitsFromNumericParam(mc(), host_.table, 0, slots_, &sign, &digits,
                                                 &n),
            QIRA_ERR_MISSINGPARAM);
  EXPECT_EQ(TARVOParam_ObjParam(host_.table, 0, slots_, &ref), QIRA_OK);
  EXPECT_EQ(TARVOParam_VxmemsizeParam(mc(), host_.table, 0, slots_, &value, 1, 5), QIRA_OK);
  EXPECT_EQ(TARVOParam_BoolParam(mc(), host_.table, 0, slots_, &b), QIRA_OK);

  EXPECT_EQ(n, kUntouched);
  EXPECT_EQ(value, kUntouched);
  EXPECT_EQ(b, 0x7777);
  EXPECT_EQ(ref.word, kUntouched);
  EXPECT_TRUE(host_.calls.empty()) << "nothing is asked of the host for an absent argument";
}

// ---- strings ----------------------------------------------------------------------

TEST_F(Params, StrParamMapsHostFlags) {
  static const uint16_t text[] = {'a', 'b'};
  struct Case {
    uint16_t f1, f2;
    uint32_t want;
  };
  // Flags count only when exactly 1; the first wins when both are set.
  constexpr Case cases[] = {{0, 0, QIRA_OK},
                            {1, 0, QIRA_ERR_EMPTY},
                            {0, 1, QIRA_ERR_TOOLONG},
                            {1, 1, QIRA_ERR_EMPTY},
                            {2, 2, QIRA_OK}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.f1 << "," << c.f2);
    host_.strflag1 = c.f1;
    host_.strflag2 = c.f2;
    host_.strchars = text;
    host_.strlen = 2;
    const uint16_t *chars = nullptr;
    uint32_t n = kUntouched;
    EXPECT_EQ(TARVOParam_StrParam(mc(), host_.table, 2, slots_, &chars, &n), c.want);
    EXPECT_EQ(host_.lastslot, &slots_[1]) << "position 2 is the second slot";
    if (c.want == QIRA_OK) {
      EXPECT_EQ(chars, text);
      EXPECT_EQ(n, 2u);
    } else {
      EXPECT_EQ(chars, nullptr);
      EXPECT_EQ(n, kUntouched);
    }
  }
}

TEST_F(Params, HostFailureIsReturnedUnchanged) {
  host_.rc[303] = 999;
  host_.rc[304] = 998;
  host_.rc[300] = 997;
  const uint16_t *p = nullptr;
  uint32_t n = 0;
  uint16_t s = 0;
  EXPECT_EQ(TARVOParam_StrParam(mc(), host_.table, 1, slots_, &p, &n), 999u);
  EXPECT_EQ(TARVOParam_IntParam(mc(), host_.table, 1, slots_, &s, &p, &n), 998u);
  EXPECT_EQ(TARVOParam_BoolParam(mc(), host_.table, 1, slots_, &s), 997u);
}

TEST_F(Params, MissingHostFunctionGives45) {
  QiraHostFn empty[QIRA_HOSTAPI_COUNT] = {};
  const uint16_t *p = nullptr;
  uint32_t n = 0;
  uint16_t s = 0;
  QiraObjRef ref{};
  slots_[0].tag = QIRA_TAG_VARREF;
  EXPECT_EQ(TARVOParam_ObjParam(empty, 1, slots_, &ref), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOParam_StrParam(mc(), empty, 1, slots_, &p, &n), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOParam_IntDigitsFromNumericParam(mc(), empty, 1, slots_, &s, &p, &n),
            QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOParam_BoolParam(mc(), nullptr, 2, slots_, &s), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOUtil_SetObjVxu32int(empty, mc(), &ref, 1, 0), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOUtil_SetPropString(empty, mc(), &ref, 3, nullptr, 0, 1), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOUtil_SetPropIntDigits(empty, mc(), &ref, 4, 0, nullptr, 0, 1),
            QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOUtil_SetPropBool(empty, &ref, 10, 1, 1), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOUtil_SetPropConst(empty, &ref, 4, 0, 1), QIRA_ERR_NOHOSTFUNC);
}

// ---- booleans and integers ----------------------------------------------------------

TEST_F(Params, BoolAndIntFlagsGive30) {
  uint16_t b = 0x7777;
  host_.boolflag = 1;
  host_.boolvalue = 1;
  EXPECT_EQ(TARVOParam_BoolParam(mc(), host_.table, 1, slots_, &b), QIRA_ERR_RANGE);
  EXPECT_EQ(b, 0x7777);
  host_.boolflag = 0;
  EXPECT_EQ(TARVOParam_BoolParam(mc(), host_.table, 1, slots_, &b), QIRA_OK);
  EXPECT_EQ(b, 1);

  host_.intdigits = {7};
  for (auto [f1, f2] : {std::pair{1, 0}, {0, 1}}) {
    host_.intflag1 = uint16_t(f1);
    host_.intflag2 = uint16_t(f2);
    uint16_t sign = 9;
    uint32_t n = kUntouched;
    const uint16_t *d = nullptr;
    EXPECT_EQ(TARVOParam_IntParam(mc(), host_.table, 1, slots_, &sign, &d, &n), QIRA_ERR_RANGE);
    EXPECT_EQ(n, kUntouched);
    EXPECT_EQ(sign, 9);
  }
}

TEST_F(Params, NumericParamResolvesVariableThenConverts) {
  slots_[0].tag = QIRA_TAG_VARREF;
  host_.resolvedtag = QIRA_TAG_NUMERIC;
  host_.intdigits = {42};
  uint16_t sign = 9;
  const uint16_t *d = nullptr;
  uint32_t n = 0;
  ASSERT_EQ(TARVOParam_IntDigitsFromNumericParam(mc(), host_.table, 1, slots_, &sign, &d, &n),
            QIRA_OK);
  EXPECT_EQ(host_.calls, (std::vector<uint32_t>{110, 430, 304}));
  EXPECT_EQ(host_.lastmc, mc());
  EXPECT_EQ(host_.toint_value, &slots_[0].u.value) << "the slot's value converts in place";
  EXPECT_EQ(slots_[0].tag, QIRA_TAG_INT);
  EXPECT_EQ(sign, 0);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(d[0], 42);
}

TEST_F(Params, NumericParamStopsAtHostFailures) {
  uint16_t sign = 0;
  const uint16_t *d = nullptr;
  uint32_t n = 0;

  slots_[0].tag = QIRA_TAG_VARREF;
  host_.rc[110] = 555;
  EXPECT_EQ(TARVOParam_IntDigitsFromNumericParam(mc(), host_.table, 1, slots_, &sign, &d, &n),
            555u);
  EXPECT_EQ(host_.calls, std::vector<uint32_t>{110});

  host_.calls.clear();
  slots_[0].tag = QIRA_TAG_NUMERIC;
  host_.rc[430] = 556;
  EXPECT_EQ(TARVOParam_IntDigitsFromNumericParam(mc(), host_.table, 1, slots_, &sign, &d, &n),
            556u);
  EXPECT_EQ(host_.calls, std::vector<uint32_t>{430});
  EXPECT_EQ(slots_[0].tag, QIRA_TAG_NUMERIC) << "a failed conversion keeps the tag";

  // A plain integer goes straight to the reader.
  host_.calls.clear();
  slots_[0].tag = QIRA_TAG_INT;
  EXPECT_EQ(TARVOParam_IntDigitsFromNumericParam(mc(), host_.table, 1, slots_, &sign, &d, &n),
            QIRA_OK);
  EXPECT_EQ(host_.calls, std::vector<uint32_t>{304});
}

TEST_F(Params, VxmemsizeBoundsAndDigitLimits) {
  struct Case {
    const char *what;
    uint16_t sign;
    std::vector<uint16_t> digits;
    uint32_t minimum, maximum;
    uint32_t want_rc, want_value;
  };
  const Case cases[] = {
      {"0 below 1", 0, {0}, 1, 5, QIRA_ERR_RANGE, 0},
      {"no digits is 0", 0, {}, 1, 5, QIRA_ERR_RANGE, 0},
      {"1 at minimum", 0, {1}, 1, 5, QIRA_OK, 1},
      {"5 at maximum", 0, {5}, 1, 5, QIRA_OK, 5},
      {"6 above", 0, {6}, 1, 5, QIRA_ERR_RANGE, 0},
      {"-1", 1, {1}, 1, 5, QIRA_ERR_RANGE, 0},
      {"-0 still negative", 1, {0}, 0, 5, QIRA_ERR_RANGE, 0},
      {"65536 by the bound", 0, {0, 1}, 1, 5, QIRA_ERR_RANGE, 0},
      {"65536 allowed", 0, {0, 1}, 0, 0xFFFFFFFF, QIRA_OK, 65536},
      {"two digits compose", 0, {0x5678, 0x1234}, 0, 0xFFFFFFFF, QIRA_OK, 0x12345678},
      {"u32 max", 0, {0xFFFF, 0xFFFF}, 0, 0xFFFFFFFF, QIRA_OK, 0xFFFFFFFF},
      {"three digits", 0, {1, 0, 0}, 0, 0xFFFFFFFF, QIRA_ERR_RANGE, 0},
      {"three digits, value 5", 0, {5, 0, 0}, 0, 0xFFFFFFFF, QIRA_ERR_RANGE, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    host_.intsign = c.sign;
    host_.intdigits = c.digits;
    slots_[0].tag = QIRA_TAG_INT;
    uint32_t value = kUntouched;
    EXPECT_EQ(TARVOParam_VxmemsizeParam(mc(), host_.table, 1, slots_, &value, c.minimum,
                                        c.maximum),
              c.want_rc);
    EXPECT_EQ(value, c.want_rc == QIRA_OK ? c.want_value : kUntouched);
  }
}

TEST_F(Params, VxmemsizeReadsNumericFormsToo) {
  slots_[1].tag = QIRA_TAG_NUMERIC;
  host_.intdigits = {3};
  uint32_t value = 0;
  EXPECT_EQ(TARVOParam_VxmemsizeParam(mc(), host_.table, 2, slots_, &value, 1, 5), QIRA_OK);
  EXPECT_EQ(value, 3u);
  EXPECT_TRUE(host_.Called(430));
}

// ---- object references ------------------------------------------------------------------

TEST_F(Params, ObjParamTakesVariableWithBalancedCounts) {
  slots_[0].tag = QIRA_TAG_VARREF;
  slots_[0].u.var = {.obj = &var_, .word = 17};
  QiraObjRef ref{};
  ASSERT_EQ(TARVOParam_ObjParam(host_.table, 1, slots_, &ref), QIRA_OK);
  EXPECT_EQ(ref.obj, &var_);
  EXPECT_EQ(ref.word, 17u);
  EXPECT_EQ(host_.calls, (std::vector<uint32_t>{105, 107, 106}));
  EXPECT_EQ(host_.refs, (std::vector<void *>{&var_, &var_}));
  EXPECT_EQ(host_.noted.obj, &var_);
  EXPECT_EQ(host_.noted.word, 17u);
}

TEST_F(Params, ObjParamWithNullVariableOnlyNotesIt) {
  slots_[0].tag = QIRA_TAG_VARREF;
  slots_[0].u.var = {.obj = nullptr, .word = 3};
  QiraObjRef ref = {.obj = &var_, .word = 0};
  ASSERT_EQ(TARVOParam_ObjParam(host_.table, 1, slots_, &ref), QIRA_OK);
  EXPECT_EQ(ref.obj, nullptr);
  EXPECT_EQ(host_.calls, std::vector<uint32_t>{107});
}

TEST_F(Params, ObjParamRefusesValuesThatAreNotVariables) {
  QiraObjRef ref = {.obj = &var_, .word = 5};
  slots_[0].tag = QIRA_TAG_NONE;
  EXPECT_EQ(TARVOParam_ObjParam(host_.table, 1, slots_, &ref), QIRA_OK);
  EXPECT_EQ(ref.obj, nullptr) << "an empty argument gives a null reference";

  for (uintptr_t tag : {QIRA_TAG_STRING, QIRA_TAG_BOOL, QIRA_TAG_INT, QIRA_TAG_NUMERIC,
                        uint32_t(0xFFFE)}) {
    SCOPED_TRACE(tag);
    ref = {.obj = &var_, .word = 5};
    slots_[0].tag = tag;
    EXPECT_EQ(TARVOParam_ObjParam(host_.table, 1, slots_, &ref), QIRA_ERR_NOTVARIABLE);
    EXPECT_EQ(ref.obj, &var_);
  }
  EXPECT_TRUE(host_.calls.empty());
}

// ---- private data ------------------------------------------------------------------------

struct FakeObject {
  QiraHostObject head;
  void *seen_obj;
  uintptr_t *seen_word;
  int priv;
};

void *Accessor(void *obj, uintptr_t *word) {
  FakeObject *o = static_cast<FakeObject *>(obj);
  o->seen_obj = obj;
  o->seen_word = word;
  return &o->priv;
}

TEST(ObjRefGetPrivatePtr, AsksTheObjectsOwnAccessor) {
  FakeObject o{};
  o.head.priv = Accessor;
  const QiraObjRef ref = {.obj = &o, .word = 9};
  EXPECT_EQ(TARVO_ObjRefGetPrivatePtr(&ref), &o.priv);
  EXPECT_EQ(o.seen_obj, &o);
  EXPECT_EQ(o.seen_word, &ref.word) << "the address of the reference's second word";

  const QiraObjRef none = {.obj = nullptr, .word = 9};
  EXPECT_EQ(TARVO_ObjRefGetPrivatePtr(&none), nullptr);
  EXPECT_EQ(TARVO_ObjRefGetPrivatePtr(nullptr), nullptr);
}

// ---- variable and property writers ---------------------------------------------------------

TEST_F(Params, SetObjVxu32intBuildsAndAssigns) {
  const QiraObjRef ref = {.obj = &var_, .word = 4};
  ASSERT_EQ(TARVOUtil_SetObjVxu32int(host_.table, mc(), &ref, 0x12345678, 0), QIRA_OK);
  EXPECT_EQ(host_.calls, (std::vector<uint32_t>{402, 111}));
  EXPECT_EQ(host_.lastmc, mc());
  EXPECT_EQ(host_.mksign, 0);
  EXPECT_EQ(host_.mku32, 0x12345678u);
  EXPECT_EQ(host_.setobj, &var_);
  EXPECT_EQ(host_.setword, 4u);
  EXPECT_EQ(host_.settag, QIRA_TAG_INT);
  EXPECT_EQ(host_.setflag, 0);
  EXPECT_EQ(host_.setvalue0, fake::kValueMark + 402);
}

TEST_F(Params, SetObjVxu32intFreesRefusedInteger) {
  const QiraObjRef ref = {.obj = &var_, .word = 0};
  host_.rc[111] = QIRA_ERR_ACCESS;
  EXPECT_EQ(TARVOUtil_SetObjVxu32int(host_.table, mc(), &ref, 7, 0), QIRA_ERR_ACCESS);
  EXPECT_EQ(host_.calls, (std::vector<uint32_t>{402, 111, 400}));
  EXPECT_EQ(host_.freedtag, QIRA_TAG_INT);
  EXPECT_EQ(host_.freedvalue0, fake::kValueMark + 402);

  host_.calls.clear();
  host_.rc[402] = QIRA_ERR_NOMEM;
  EXPECT_EQ(TARVOUtil_SetObjVxu32int(host_.table, mc(), &ref, 7, 0), QIRA_ERR_NOMEM);
  EXPECT_EQ(host_.calls, std::vector<uint32_t>{402}) << "nothing to assign or free";
}

TEST_F(Params, PropertyWritersSetAndFreeOnRefusal) {
  static const uint16_t text[] = {'x', 'y', 'z'};
  static const uint16_t digits[] = {1, 2};
  const QiraObjRef ref = {.obj = &var_, .word = 6};
  struct Case {
    const char *what;
    uint32_t builder;  // host ID that builds the value, 0 for none
    uint32_t tag;
    bool frees;
    std::function<uint32_t()> call;
  };
  const Case cases[] = {
      {"string", 405, QIRA_TAG_STRING, true,
       [&] { return TARVOUtil_SetPropString(host_.table, mc(), &ref, 3, text, 3, 1); }},
      {"integer", 404, QIRA_TAG_INT, true,
       [&] { return TARVOUtil_SetPropIntDigits(host_.table, mc(), &ref, 3, 1, digits, 2, 1); }},
      {"boolean", 401, QIRA_TAG_BOOL, false,
       [&] { return TARVOUtil_SetPropBool(host_.table, &ref, 3, 1, 1); }},
      {"no value", 0, QIRA_TAG_NONE, false,
       [&] { return TARVOUtil_SetPropConst(host_.table, &ref, 3, QIRA_TAG_NONE, 1); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    for (uint32_t refuse : {QIRA_OK, QIRA_ERR_ACCESS}) {
      host_.calls.clear();
      host_.freedtag = 0xFFFF;
      host_.rc[112] = refuse;
      EXPECT_EQ(c.call(), refuse);
      std::vector<uint32_t> want;
      if (c.builder) want.push_back(c.builder);
      want.push_back(112);
      if (refuse != QIRA_OK && c.frees) want.push_back(400);
      EXPECT_EQ(host_.calls, want);
      EXPECT_EQ(host_.setobj, &var_);
      EXPECT_EQ(host_.setword, 6u);
      EXPECT_EQ(host_.setsymbol, 3u);
      EXPECT_EQ(host_.settag, c.tag);
      EXPECT_EQ(host_.setflag, 1);
      EXPECT_EQ(host_.setvalue0, c.builder ? fake::kValueMark + c.builder : 0u);
      if (refuse != QIRA_OK && c.frees) {
        EXPECT_EQ(host_.freedtag, c.tag);
        EXPECT_EQ(host_.freedvalue0, fake::kValueMark + c.builder);
      }
    }
  }
  EXPECT_EQ(host_.mklen, 2u) << "the last builder (integer) saw the digit count";
}

TEST_F(Params, PropertyBuilderFailureSkipsTheProperty) {
  const QiraObjRef ref = {.obj = &var_, .word = 0};
  static const uint16_t text[] = {'x'};
  host_.rc[405] = QIRA_ERR_NOMEM;
  EXPECT_EQ(TARVOUtil_SetPropString(host_.table, mc(), &ref, 3, text, 1, 1), QIRA_ERR_NOMEM);
  EXPECT_EQ(host_.calls, std::vector<uint32_t>{405});
}

}  // namespace
