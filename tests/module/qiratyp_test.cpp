// The tables the host reads, checked by the shape of each row, the lookup in
// the entry-type table, and the two fetches from the host's function provider:
// type registration and the whole API table.
#include <algorithm>
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

TEST(Tables, SymbolRowsSpellTheVocabulary) {
  std::string all;
  for (const QiraNameDesc &d : name_descs)
    all += qt::U8(d.ptr, d.len / 2) + (d.len % 2 ? "?" : " ");  // "?": an odd byte length
  EXPECT_EQ(all,
            "QIRAdirectory QIRAdirectoryentry name entrycount created lastchanged lastaccessed "
            "size entrytype readonly hidden system error entry newname destination replace "
            "getentry getdirectory createdirectory deleteentry rename setdates setattributes "
            "copy move new type function string integer boolean datetime * _ __ ");
}

// The symbol index of each parameter, found by the very row it points at.
template <size_t N>
std::string Params(const QiraNameDesc (&descs)[N]) {
  std::string out;
  for (const QiraNameDesc &d : descs) {
    const auto row = std::find_if(std::begin(name_descs), std::end(name_descs), [&](auto &s) {
      return s.ptr == d.ptr && s.len == d.len;
    });
    out += std::to_string(row - name_descs + 1) + (&d == &descs[N - 1] ? "" : " ");
  }
  return out;
}

TEST(Tables, ParameterListsReuseTheSymbolRowsErrorLast) {
  EXPECT_EQ((std::vector{Params(qira_newdir_params_descs), Params(qira_getentry_params_descs),
                         Params(qira_getdir_params_descs), Params(qira_createdir_params_descs),
                         Params(qira_delentry_params_descs), Params(qira_newdirentry_params_descs),
                         Params(qira_getentdir_params_descs), Params(qira_rename_params_descs),
                         Params(qira_setattr_params_descs), Params(qira_setdates_params_descs),
                         Params(qira_copymove_params_descs)}),
            (std::vector<std::string>{"3 13", "14 13", "13", "3 13", "14 13", "3 13", "13",
                                      "15 13", "10 11 12 13", "5 6 7 13", "16 17 13"}));
}

// A descriptor as its numeric words, its property rows by shape ("type", "_",
// "__", "name()" for a method, "name:valuetype" for data, "?" for a row off
// every shape) and its method rows by name ("!" when the middle word is not 0).
std::string Describe(const QiraTypeDesc &d) {
  std::string out;
  for (uintptr_t w : {d.name, d.w1, d.w2, d.w3, d.privsize, d.w7, d.w9, d.w11, d.w12, d.w13,
                      d.w14, d.w19, d.w20, d.w21, d.w22})
    out += std::to_string(w) + " ";
  out += "|";
  for (const QiraPropRow &r : std::vector(d.props, d.props + d.nprops)) {
    const auto is = [&r](uint32_t col2, uint32_t type, uint32_t col4, uint32_t col6) {
      return r.col2 == col2 && r.type == type && r.col4 == col4 && r.col5 == 0 && r.col6 == col6;
    };
    const std::string name = " " + std::to_string(r.name);
    out += r.name == 28 && is(QIRA_PROPKIND_TYPE, 28, 1, 1) ? " type"
           : r.name == 35 && is(35, 34, 2, 0)               ? " _"
           : r.name == 36 && is(36, 34, 2, 0x10000)         ? " __"
           : is(QIRA_PROPKIND_METHOD, 29, 1, 1)             ? name + "()"
           : is(r.name, r.type, 0, 1)                       ? name + ":" + std::to_string(r.type)
                                                            : " ?";
  }
  out += " |";
  for (const QiraMethodRow &m : std::vector(d.methods, d.methods + d.nmethods))
    out += " " + std::to_string(m.name) + (m.zero ? "!" : "");
  return out;
}

template <typename F>
const void *V(F f) {
  return reinterpret_cast<const void *>(f);
}

// The hooks, then the method rows' functions.
std::vector<const void *> Functions(const QiraTypeDesc &d) {
  std::vector<const void *> out = {V(d.init), V(d.term), V(d.getvalue), V(d.setvalue)};
  for (uintptr_t m = 0; m < d.nmethods; ++m) out.push_back(V(d.methods[m].fn));
  return out;
}

TEST(Tables, TypeDescriptorsDirectoryFirst) {
  const bool narrow = sizeof(void *) == 4;
  EXPECT_EQ(Describe(intrinsictypes[0]), std::string("1 0 0 65537 ") + (narrow ? "44" : "88") +
                                             " 0 0 0 0 0 0 0 0 0 0 | type _ __ 3:30 4:31 18() "
                                             "19() 20() 21() | 27 18 19 20 21");
  EXPECT_EQ(Functions(intrinsictypes[0]),
            (std::vector{V(TARVO_PrivateInitQIRADirObj), V(TARVO_PrivateTermQIRADirObj),
                         V(TARVO_GetQIRADirObjValue), V(TARVO_SetQIRADirObjValue),
                         V(TARVO_NewQIRADirObject), V(TARVOQIRADir_GetEntry),
                         V(TARVOQIRADir_GetDir), V(TARVOQIRADir_CreateDir),
                         V(TARVOQIRADir_DeleteEntry)}));
  // setattributes (24) before setdates (23), against their symbol order.
  EXPECT_EQ(Describe(intrinsictypes[1]),
            std::string("2 0 0 65537 ") + (narrow ? "28" : "56") +
                " 0 0 0 0 0 0 0 0 0 0 | type _ __ 3:30 5:33 6:33 7:33 8:31 9:30 10:32 11:32 "
                "12:32 19() 22() 24() 23() 25() 26() | 27 19 22 24 23 25 26");
  EXPECT_EQ(Functions(intrinsictypes[1]),
            (std::vector{V(TARVO_PrivateInitQIRADirEntryObj), V(TARVO_PrivateTermQIRADirEntryObj),
                         V(TARVO_GetQIRADirEntryObjValue), V(TARVO_SetQIRADirEntryObjValue),
                         V(TARVO_NewQIRADirEntryObject), V(TARVOQIRADirEntry_GetDir),
                         V(TARVOQIRADirEntry_Rename), V(TARVOQIRADirEntry_SetAttributes),
                         V(TARVOQIRADirEntry_SetDates), V(TARVOQIRADirEntry_Copy),
                         V(TARVOQIRADirEntry_Move)}));
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
  const std::vector<uint32_t> ids = {
      100, 101, 102, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 120, 130,
      131, 140, 180, 181, 182, 200, 210, 211, 212, 213, 214, 215, 216, 217, 218,
      219, 220, 221, 222, 224, 225, 300, 301, 302, 303, 304, 305, 306, 400, 401,
      402, 403, 404, 405, 406, 407, 408, 430, 431, 440, 451, 452, 453, 454, 455,
      456, 457, 458, 459, 500, 501, 502, 503, 600, 601, 605, 609, 700, 701, 800};
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
