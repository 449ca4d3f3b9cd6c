// The module's first answers to the host: version record, entry function,
// reference, symbols and version text.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "module/qiratyp.h"
#include "qira.h"
#include "testutil/testutil.h"

namespace {

std::string Text(const uint16_t *units, uint32_t count) { return qt::U8(units, count); }

TEST(VXGetVer, RecordCarriesVersionWordsAndDescriptionTwice) {
  const QiraVersion *v = VXGetVer();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->size, sizeof(QiraVersion));
  const uint32_t want[5] = {1, 0, 0, 1, 4};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(v->ver[i], want[i]) << "word " << i;
  const std::string desc = "Veltraxis Operating System Utility functions library";
  EXPECT_EQ(v->desclen1, desc.size());
  EXPECT_EQ(v->desclen2, desc.size());
  EXPECT_EQ(v->desc1, v->desc2);
  EXPECT_EQ(std::string(v->desc1, v->desclen1), desc);
}

TEST(TARVO, MapsExactlySixIds) {
  struct Case {
    int32_t id;
    QiraHostFn want;
  };
  const Case cases[] = {
      {99, nullptr},
      {100, reinterpret_cast<QiraHostFn>(TARVOQIRA_GetRefCount)},
      {101, reinterpret_cast<QiraHostFn>(TARVOQIRA_GetRef)},
      {102, reinterpret_cast<QiraHostFn>(TARVOQIRA_GetSymCount)},
      {103, reinterpret_cast<QiraHostFn>(TARVOQIRA_GetSymbol)},
      {104, reinterpret_cast<QiraHostFn>(TARVOQIRA_AddTypes)},
      {105, nullptr}, {106, nullptr}, {107, nullptr}, {108, nullptr}, {109, nullptr},
      {110, reinterpret_cast<QiraHostFn>(TARVO_GetVersion)},
      {111, nullptr}, {0, nullptr}, {-100, nullptr}, {INT32_MIN, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(TARVO(c.id), c.want);
  }
}

TEST(TARVOQIRA_GetRef, OnlyIndexOneWithValueZero) {
  EXPECT_EQ(TARVOQIRA_GetRefCount(), 1u);
  uint32_t out = 0xDEADBEEF;
  EXPECT_EQ(TARVOQIRA_GetRef(1, &out), QIRA_OK);
  EXPECT_EQ(out, 0u);
  EXPECT_EQ(TARVOQIRA_GetRef(1, nullptr), QIRA_OK);
  for (uint32_t index : {0u, 2u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(index);
    out = 0xDEADBEEF;
    EXPECT_EQ(TARVOQIRA_GetRef(index, &out), QIRA_ERR_RANGE);
    EXPECT_EQ(out, 0xDEADBEEFu);
  }
}

TEST(TARVOQIRA_GetSymbol, ServesThirtySixRowsOneBased) {
  uint32_t count = 0;
  EXPECT_EQ(TARVOQIRA_GetSymCount(nullptr, &count), QIRA_OK);
  EXPECT_EQ(count, 36u);
  EXPECT_EQ(TARVOQIRA_GetSymCount(nullptr, nullptr), QIRA_OK);

  QiraNameDesc d{};
  ASSERT_EQ(TARVOQIRA_GetSymbol(nullptr, 1, &d), QIRA_OK);
  EXPECT_EQ(Text(d.ptr, d.len / 2), "QIRAdirectory");
  ASSERT_EQ(TARVOQIRA_GetSymbol(nullptr, 36, &d), QIRA_OK);
  EXPECT_EQ(d.len, 4u);
  EXPECT_EQ(Text(d.ptr, d.len / 2), "__");
  ASSERT_EQ(TARVOQIRA_GetSymbol(nullptr, 4, &d), QIRA_OK);
  EXPECT_EQ(Text(d.ptr, d.len / 2), "entrycount");
  EXPECT_EQ(TARVOQIRA_GetSymbol(nullptr, 5, nullptr), QIRA_OK);

  for (uint32_t index : {0u, 37u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(index);
    QiraNameDesc untouched = {.len = 77, .ptr = nullptr};
    EXPECT_EQ(TARVOQIRA_GetSymbol(nullptr, index, &untouched), QIRA_ERR_RANGE);
    EXPECT_EQ(untouched.len, 77u);
  }
}

TEST(TARVO_GetVersion, ReportsLengthEvenWhenBufferTooSmall) {
  uint16_t buf[10];
  uint32_t len = 0;

  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(TARVO_GetVersion(nullptr, buf, 8, &len), QIRA_OK);
  EXPECT_EQ(len, 8u);
  EXPECT_EQ(Text(buf, 8), "1.00.001");
  EXPECT_EQ(buf[8], 0xEEEE) << "no terminator is written";

  std::memset(buf, 0xEE, sizeof buf);
  len = 0;
  EXPECT_EQ(TARVO_GetVersion(nullptr, buf, 7, &len), QIRA_ERR_TOOLONG);
  EXPECT_EQ(len, 8u);
  for (uint16_t u : buf) EXPECT_EQ(u, 0xEEEE);

  len = 0;
  EXPECT_EQ(TARVO_GetVersion(nullptr, nullptr, 8, &len), QIRA_OK);
  EXPECT_EQ(len, 8u);
  EXPECT_EQ(TARVO_GetVersion(nullptr, nullptr, 0, nullptr), QIRA_ERR_TOOLONG);
}

TEST(VersionString, FieldsTooLargeShowHashes) {
  struct Case {
    uint32_t major, minor, build;
    const char *want;
  };
  constexpr Case cases[] = {
      {1, 0, 1, "1.00.001"},      {10, 5, 42, "#.05.042"},    {3, 100, 7, "3.##.007"},
      {0, 0, 1000, "0.00.###"},   {9, 99, 999, "9.99.999"},   {0, 0, 0, "0.00.000"},
      {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, "#.##.###"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.want);
    uint16_t buf[9];
    std::memset(buf, 0xEE, sizeof buf);
    x_xx_xxx_VersionString(buf, c.major, c.minor, c.build);
    EXPECT_EQ(Text(buf, 8), c.want);
    EXPECT_EQ(buf[8], 0xEEEE);
  }
}

}  // namespace
