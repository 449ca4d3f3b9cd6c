// The tables the host reads, checked by how their rows fit together, the
// lookup in the entry-type table, and the two fetches from the host's
// function provider: type registration and the whole API table.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/qiratyp.h"
#include "qira.h"
#include "testutil/testutil.h"

// The descriptors point at the objects layer, which this executable does not
// link; weak stand-ins let the tables link and show where they point.
#define WEAK extern "C" __attribute__((weak))
#define METHOD(f)                                                                     \
  WEAK uint32_t f(void *, uint32_t, QiraArgSlot *, uint32_t *, const QiraObjRef *, \
                  QiraResult *) {                                                  \
    return 0;                                                                      \
  }
METHOD(TARVO_NewQIRADirObject) METHOD(TARVOQIRADir_GetEntry) METHOD(TARVOQIRADir_GetDir)
METHOD(TARVOQIRADir_CreateDir) METHOD(TARVOQIRADir_DeleteEntry)
METHOD(TARVO_NewQIRADirEntryObject) METHOD(TARVOQIRADirEntry_GetDir)
METHOD(TARVOQIRADirEntry_Rename) METHOD(TARVOQIRADirEntry_SetAttributes)
METHOD(TARVOQIRADirEntry_SetDates) METHOD(TARVOQIRADirEntry_Copy) METHOD(TARVOQIRADirEntry_Move)
#define HOOKS(init, term, get, set) \
  WEAK void init(void *) {} WEAK void term(void *) {} WEAK uint32_t set(void) { return 0; } \
  WEAK uint32_t get(const QiraObjRef *, uint32_t *, QiraValue *) { return 0; }
HOOKS(TARVO_PrivateInitQIRADirObj, TARVO_PrivateTermQIRADirObj, TARVO_GetQIRADirObjValue,
      TARVO_SetQIRADirObjValue)
HOOKS(TARVO_PrivateInitQIRADirEntryObj, TARVO_PrivateTermQIRADirEntryObj,
      TARVO_GetQIRADirEntryObjValue, TARVO_SetQIRADirEntryObjValue)

namespace {

// A symbol index as the host reads it: through the module's own lookup.
std::string Sym(uintptr_t index) {
  QiraNameDesc d{};
  if (TARVOQIRA_GetSymbol(nullptr, uint32_t(index), &d) != QIRA_OK || d.len % 2) return "?";
  return qt::U8(d.ptr, d.len / 2);
}

// What a host learns from a descriptor, checked by how the rows must fit
// together rather than by copying them: the type row first (its name and its
// value type both "type"), "_" and "__" next, data rows that name themselves,
// one method-kind row per method after "new", in the same order, each with a
// function of its own.
TEST(Tables, DescriptorRowsFitTogetherAsTheHostReadsThem) {
  const char *names[] = {"QIRAdirectory", "QIRAdirectoryentry"};
  const std::set<std::string> valuetypes = {"string", "integer", "boolean", "datetime"};
  for (int t = 0; t < 2; ++t) {
    const QiraTypeDesc &d = intrinsictypes[t];
    SCOPED_TRACE(names[t]);
    EXPECT_EQ(Sym(d.name), names[t]);
    ASSERT_GE(d.nprops, 4u);
    ASSERT_GE(d.nmethods, 1u);
    EXPECT_EQ(Sym(d.props[0].name) + Sym(d.props[0].type), "typetype");
    EXPECT_EQ(d.props[0].col2, QIRA_PROPKIND_TYPE);
    EXPECT_EQ(Sym(d.props[1].name) + Sym(d.props[2].name), "___");
    EXPECT_EQ(Sym(d.props[3].name), "name") << "every type shows its name";
    std::vector<std::string> methodprops, methods;
    for (uintptr_t i = 3; i < d.nprops; ++i) {
      const QiraPropRow &r = d.props[i];
      if (r.col2 == QIRA_PROPKIND_METHOD) {
        EXPECT_EQ(Sym(r.type), "function");
        methodprops.push_back(Sym(r.name));
      } else {
        EXPECT_TRUE(r.col2 == r.name && valuetypes.count(Sym(r.type))) << Sym(r.name);
        EXPECT_TRUE(methodprops.empty()) << "data rows come before method rows";
      }
    }
    std::set<QiraMethodFn> fns;
    for (uintptr_t m = 0; m < d.nmethods; ++m) {
      EXPECT_EQ(d.methods[m].zero, 0u);
      fns.insert(d.methods[m].fn);
      if (m > 0) methods.push_back(Sym(d.methods[m].name));
    }
    EXPECT_EQ(Sym(d.methods[0].name), "new");
    EXPECT_EQ(methodprops, methods);
    EXPECT_EQ(fns.size(), d.nmethods);
    EXPECT_FALSE(fns.count(nullptr));
  }
}

TEST(Tables, EntryTypeLookupCountsInCodeUnits) {
  const struct { uint32_t id, count, rc; const char *text; } cases[] = {
      {1, 2, QIRA_OK, "file"}, {2, 2, QIRA_OK, "directory"}, {3, 2, QIRA_ERR_NOTFOUND, nullptr},
      {0, 2, QIRA_ERR_NOTFOUND, nullptr}, {2, 1, QIRA_ERR_NOTFOUND, nullptr}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.id << " of " << c.count);
    const QiraIdStr *row = nullptr;
    EXPECT_EQ(TARVOIdedStr_GetIdedStr(qira_direntry_types, c.count, c.id, &row), c.rc);
    EXPECT_EQ(row ? qt::U8(row->text, uint32_t(row->len)) : "", c.text ? c.text : "");
    if (row) { EXPECT_EQ(row->id, c.id); }
  }
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(qira_direntry_types, 2, 1, nullptr), QIRA_OK);
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(nullptr, 2, 1, nullptr), QIRA_ERR_NOTFOUND);
}

// ---- the host's function provider -------------------------------------------------

std::vector<uint32_t> g_asked;                  // IDs the getter was asked for
std::vector<std::vector<const void *>> g_regs;  // (context, descriptor, argument) per call
uint32_t g_missing, g_failat;  // the ID withheld; the registration that fails with 1234

uint32_t Register(void *ctx, const QiraTypeDesc *desc, void *argument) {
  g_regs.push_back({ctx, desc, argument});
  return g_regs.size() == g_failat ? 1234 : QIRA_OK;
}

// Distinct addresses for the IDs that are only stored, never called.
QiraHostFn Fake(uint32_t id) {
  return id == 130 ? reinterpret_cast<QiraHostFn>(Register)
                   : reinterpret_cast<QiraHostFn>(uintptr_t(0x10000) + id);
}

QiraHostFn Getter(uint32_t id) {
  g_asked.push_back(id);
  return id == g_missing ? nullptr : Fake(id);
}

TEST(Provider, AddTypesOffersDirectoryThenEntryAndStopsAtAFailure) {
  QiraProvider provider = {.w0 = 0, .w1 = 0, .getter = Getter};
  void *regctx[2] = {nullptr, &provider};
  int arg = 0;
  const std::vector<std::vector<const void *>> both = {{regctx, &intrinsictypes[0], &arg},
                                                       {regctx, &intrinsictypes[1], &arg}};
  const struct { uint32_t missing, failat, rc, offered; } cases[] = {
      {0, 0, QIRA_OK, 2}, {0, 1, 1234, 1}, {0, 2, 1234, 2}, {130, 0, QIRA_ERR_NOHOSTFUNC, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.missing << " " << c.failat);
    g_asked.clear(), g_regs.clear(), g_missing = c.missing, g_failat = c.failat;
    EXPECT_EQ(TARVOQIRA_AddTypes(nullptr, regctx, &arg), c.rc);
    EXPECT_EQ(g_asked, std::vector<uint32_t>{130});
    EXPECT_EQ(g_regs, std::vector(both.begin(), both.begin() + c.offered));
  }
  provider.getter = nullptr;
  EXPECT_EQ(TARVOQIRA_AddTypes(nullptr, regctx, &arg), QIRA_ERR_NOHOSTFUNC);
  regctx[1] = nullptr;
  EXPECT_EQ(TARVOQIRA_AddTypes(nullptr, regctx, &arg), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOQIRA_AddTypes(nullptr, nullptr, nullptr), QIRA_ERR_NOHOSTFUNC);
}

TEST(Provider, ApiTableFilledInIdOrderAndRefusedWithAnyGap) {
  // Every ID asked once, in slot order, and slot i holds the i-th answer.
  const std::vector<uint32_t> ids = {QIRA_HOSTAPI_IDS};
  QiraProvider provider = {.w0 = 0, .w1 = 0, .getter = Getter};
  QiraHostApi table = {};
  g_asked.clear(), g_missing = 0;
  ASSERT_EQ(TARVO_GetExternalApiFuncs(&provider, table), QIRA_OK);
  EXPECT_EQ(g_asked, ids);
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(table[i], Fake(ids[i])) << "slot " << i;
  for (uint32_t missing : {100u, 430u, 800u}) {
    g_missing = missing;
    EXPECT_EQ(TARVO_GetExternalApiFuncs(&provider, table), QIRA_ERR_NOHOSTFUNC) << missing;
  }
  EXPECT_EQ(TARVO_GetExternalApiFuncs(&provider, nullptr), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVO_GetExternalApiFuncs(nullptr, table), QIRA_ERR_NOHOSTFUNC);
  provider.getter = nullptr;
  EXPECT_EQ(TARVO_GetExternalApiFuncs(&provider, table), QIRA_ERR_NOHOSTFUNC);
}

}  // namespace
