// The module's first answers to the host: reference, symbols, version text, and the entry-type
// lookup.  The objects tests reach all of them through the entry function, in range.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "module/qiratyp.h"
#include "qira.h"
#include "testutil/testutil.h"

namespace {

constexpr uint32_t kPoison = 0xDEADBEEF;

TEST(Entry, ReferenceAndSymbolsAnswerOnlyInRange) {
  EXPECT_EQ(TARVOQIRA_GetRefCount(), 1u);
  EXPECT_EQ(TARVOQIRA_GetRef(1, nullptr), QIRA_OK);
  uint32_t ref = kPoison, count = 0;
  EXPECT_EQ(TARVOQIRA_GetRef(1, &ref), QIRA_OK);
  EXPECT_EQ(ref, 0u);
  EXPECT_EQ(TARVOQIRA_GetSymCount(nullptr, &count), QIRA_OK);
  EXPECT_EQ(count, 36u);
  QiraNameDesc d{};
  ASSERT_EQ(TARVOQIRA_GetSymbol(nullptr, 36, &d), QIRA_OK);
  EXPECT_EQ(d.len, 4u) << "byte length of two code units";
  EXPECT_EQ(qt::U8(d.ptr, 2), "__");
  EXPECT_EQ(TARVOQIRA_GetRef(2, &ref), QIRA_ERR_RANGE);
  for (uint32_t index : {0u, 37u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(index);
    QiraNameDesc untouched = {.len = 77, .ptr = nullptr};
    EXPECT_EQ(TARVOQIRA_GetRef(index, &ref), QIRA_ERR_RANGE);
    EXPECT_EQ(TARVOQIRA_GetSymbol(nullptr, index, &untouched), QIRA_ERR_RANGE);
    EXPECT_EQ(untouched.len, 77u);
  }
  EXPECT_EQ(ref, 0u);
}

TEST(Entry, VersionTextReportsItsLengthEvenWhenItDoesNotFit) {
  uint16_t buf[9];
  std::memset(buf, 0xEE, sizeof buf);
  uint32_t lens[3] = {};
  EXPECT_EQ(TARVO_GetVersion(nullptr, buf, 7, &lens[0]), QIRA_ERR_TOOLONG);
  EXPECT_EQ(buf[0], 0xEEEE) << "nothing written when it does not fit";
  EXPECT_EQ(TARVO_GetVersion(nullptr, nullptr, 8, &lens[1]), QIRA_OK);
  EXPECT_EQ(TARVO_GetVersion(nullptr, buf, 8, &lens[2]), QIRA_OK);
  EXPECT_EQ(qt::U8(buf, 8), "1.00.001");
  EXPECT_EQ(buf[8], 0xEEEE);
  for (uint32_t len : lens) EXPECT_EQ(len, 8u);
}

TEST(Entry, VersionFieldsTooLargeShowHashes) {
  const struct { uint32_t major, minor, build; const char *want; } cases[] = {
      {10, 5, 42, "#.05.042"}, {3, 100, 7, "3.##.007"}, {0, 0, 1000, "0.00.###"}, {9, 99, 999, "9.99.999"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.want);
    uint16_t buf[9];
    std::memset(buf, 0xEE, sizeof buf);
    x_xx_xxx_VersionString(buf, c.major, c.minor, c.build);
    EXPECT_EQ(qt::U8(buf, 8), c.want);
    EXPECT_EQ(buf[8], 0xEEEE);
  }
}

// The two types' texts show in every entry the objects tests read; here the lookup's ends.
TEST(Tables, EntryTypeLookupStaysInItsTable) {
  const QiraIdStr *row = nullptr;
  for (uint32_t id : {0u, 3u})
    EXPECT_EQ(TARVOIdedStr_GetIdedStr(qira_direntry_types, 2, id, &row), QIRA_ERR_NOTFOUND) << id;
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(qira_direntry_types, 1, 2, &row), QIRA_ERR_NOTFOUND) << "past the count";
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(nullptr, 2, 1, &row), QIRA_ERR_NOTFOUND);
  EXPECT_EQ(row, nullptr);
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(qira_direntry_types, 2, 1, nullptr), QIRA_OK);
}

}  // namespace
