// The lookup in the entry-type table.  The descriptors themselves are checked
// as the host reads them (tests/host) and against the scripting reference
// (tests/tools/docs_test.cpp); the API table by every object test.

#include <gtest/gtest.h>

#include "module/qiratyp.h"
#include "qira.h"
#include "testutil/testutil.h"

// The tables point at the objects layer, which this executable does not
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

}  // namespace
