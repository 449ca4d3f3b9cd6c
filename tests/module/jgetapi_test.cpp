// Fetching the host API table by ID.
#include <vector>

#include <gtest/gtest.h>

#include "qira.h"

namespace {

std::vector<uint32_t> g_asked;
uint32_t g_missing = 0;  // the ID the fake host lacks, 0 for none

// Every ID maps to a distinct fake address so slots can be told apart; the
// addresses are compared, never called.
QiraHostFn Getter(uint32_t id) {
  g_asked.push_back(id);
  if (id == g_missing) return nullptr;
  return reinterpret_cast<QiraHostFn>(uintptr_t(0x10000) + id);
}

class GetExternalApiFuncs : public ::testing::Test {
 protected:
  void SetUp() override {
    g_asked.clear();
    g_missing = 0;
    provider_.getter = Getter;
    for (QiraHostFn &f : table_) f = reinterpret_cast<QiraHostFn>(uintptr_t(0xBAD));
  }
  QiraProvider provider_{};
  QiraHostFn table_[QIRA_HOSTAPI_COUNT];
};

TEST_F(GetExternalApiFuncs, FillsSlotsInIdOrder) {
  const std::vector<uint32_t> ids = {
      100, 101, 102, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 120, 130,
      131, 140, 180, 181, 182, 200, 210, 211, 212, 213, 214, 215, 216, 217, 218,
      219, 220, 221, 222, 224, 225, 300, 301, 302, 303, 304, 305, 306, 400, 401,
      402, 403, 404, 405, 406, 407, 408, 430, 431, 440, 451, 452, 453, 454, 455,
      456, 457, 458, 459, 500, 501, 502, 503, 600, 601, 605, 609, 700, 701, 800};
  ASSERT_EQ(ids.size(), size_t(QIRA_HOSTAPI_COUNT));
  ASSERT_EQ(TARVO_GetExternalApiFuncs(&provider_, table_), QIRA_OK);
  EXPECT_EQ(g_asked, ids);
  for (size_t i = 0; i < ids.size(); ++i)
    EXPECT_EQ(table_[i], reinterpret_cast<QiraHostFn>(uintptr_t(0x10000) + ids[i])) << i;
  // The named slots the helpers index land on their IDs.
  EXPECT_EQ(table_[QIRA_API_SETPROP], reinterpret_cast<QiraHostFn>(uintptr_t(0x10000 + 112)));
  EXPECT_EQ(table_[QIRA_API_TOINT], reinterpret_cast<QiraHostFn>(uintptr_t(0x10000 + 430)));
}

TEST_F(GetExternalApiFuncs, AnyMissingFunctionGives45) {
  for (uint32_t missing : {100u, 430u, 800u}) {
    SCOPED_TRACE(missing);
    g_missing = missing;
    EXPECT_EQ(TARVO_GetExternalApiFuncs(&provider_, table_), QIRA_ERR_NOHOSTFUNC);
  }
}

TEST_F(GetExternalApiFuncs, NullProviderOrGetterGives45) {
  EXPECT_EQ(TARVO_GetExternalApiFuncs(nullptr, table_), QIRA_ERR_NOHOSTFUNC);
  provider_.getter = nullptr;
  EXPECT_EQ(TARVO_GetExternalApiFuncs(&provider_, table_), QIRA_ERR_NOHOSTFUNC);
  EXPECT_TRUE(g_asked.empty());
}

}  // namespace
