// ID-to-text lookup over the entry-type table.
#include <gtest/gtest.h>

#include "module/qiratyp.h"
#include "qira.h"

namespace {

TEST(GetIdedStr, FindsRowByIdOrGives7) {
  const QiraIdStr *row = nullptr;
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(qira_direntry_types, 2, 2, &row), QIRA_OK);
  EXPECT_EQ(row, &qira_direntry_types[1]);
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(qira_direntry_types, 2, 1, &row), QIRA_OK);
  EXPECT_EQ(row, &qira_direntry_types[0]);
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(qira_direntry_types, 2, 1, nullptr), QIRA_OK);

  const QiraIdStr *untouched = &qira_direntry_types[0];
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(qira_direntry_types, 2, 3, &untouched), QIRA_ERR_NOTFOUND);
  EXPECT_EQ(untouched, &qira_direntry_types[0]);
  // The count bounds the search: row 2 is outside a one-row table.
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(qira_direntry_types, 1, 2, &row), QIRA_ERR_NOTFOUND);
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(nullptr, 2, 1, &row), QIRA_ERR_NOTFOUND);
}

TEST(GetIdedStr, FirstOfDuplicateIdsWins) {
  static const uint16_t a[] = {'a'}, b[] = {'b'};
  const QiraIdStr rows[] = {{.id = 5, .text = a, .len = 1}, {.id = 5, .text = b, .len = 1}};
  const QiraIdStr *row = nullptr;
  EXPECT_EQ(TARVOIdedStr_GetIdedStr(rows, 2, 5, &row), QIRA_OK);
  EXPECT_EQ(row, &rows[0]);
}

}  // namespace
