// Sibling type search over the host's ring of type records, and the
// reference counter of shared blocks.
#include <gtest/gtest.h>

#include "fakehost.h"
#include "qira.h"

namespace {

void InitA(void *) {}
void InitB(void *) {}
void InitC(void *) {}
void InitNone(void *) {}

class TypeRing : public ::testing::Test {
 protected:
  // Three types registered together: a -> b -> c -> a.
  TypeRing() {
    QiraTypeInfo *infos[] = {&ia_, &ib_, &ic_};
    void (*inits[])(void *) = {InitA, InitB, InitC};
    QiraTypeRecord *recs[] = {&a_, &b_, &c_};
    for (int i = 0; i < 3; ++i) {
      infos[i]->kind = QIRA_KIND_TYPEOBJECT;
      infos[i]->init = inits[i];
      recs[i]->info = infos[i];
      recs[i]->next = recs[(i + 1) % 3];
    }
    host_.typeof_result = &b_;  // the object is of type b
  }
  QiraTypeRecord *Find(void (*init)(void *)) {
    return TARVOUtil_GetTypeInSameModule(host_.table, &obj_, init);
  }

  fake::Host host_;
  QiraTypeInfo ia_{}, ib_{}, ic_{};
  QiraTypeRecord a_{}, b_{}, c_{};
  int obj_ = 0;
};

TEST_F(TypeRing, FindsOwnTypeAndSiblingsAroundTheRing) {
  EXPECT_EQ(Find(InitB), &b_);
  EXPECT_EQ(host_.typeof_ref.obj, &obj_);
  EXPECT_EQ(host_.typeof_ref.word, 0u);
  EXPECT_EQ(Find(InitC), &c_);
  EXPECT_EQ(Find(InitA), &a_) << "found after wrapping past the ring's start";
}

TEST_F(TypeRing, GivesNullWhenTheRingHasNoSuchType) {
  EXPECT_EQ(Find(InitNone), nullptr);
  host_.typeof_result = nullptr;
  EXPECT_EQ(Find(InitB), nullptr);
  EXPECT_EQ(TARVOUtil_GetTypeInSameModule(nullptr, &obj_, InitB), nullptr);
}

TEST_F(TypeRing, BrokenRingEndsTheSearch) {
  c_.next = nullptr;  // b -> c -> (nothing)
  EXPECT_EQ(Find(InitA), nullptr);
  b_.info = nullptr;  // a record without type info is skipped, not read
  EXPECT_EQ(Find(InitC), &c_);
}

TEST(RefCount, CountsUpAndDownToZero) {
  QiraRefCount c = {.count = 77, .limit = 5};
  TARVOUtil_RefCountInit(&c);
  EXPECT_EQ(c.count, 0u);
  EXPECT_EQ(c.limit, 0xFFFFFFFFu);
  TARVOUtil_RefCountInc(&c);
  TARVOUtil_RefCountInc(&c);
  EXPECT_EQ(TARVOUtil_RefCountDecIsZero(&c), 0u);
  EXPECT_EQ(TARVOUtil_RefCountDecIsZero(&c), 1u);
  EXPECT_EQ(c.count, 0u);
}

TEST(RefCount, CountAtItsLimitStaysThere) {
  QiraRefCount c;
  TARVOUtil_RefCountInit(&c);
  c.count = c.limit - 1;
  TARVOUtil_RefCountInc(&c);
  EXPECT_EQ(c.count, c.limit);
  TARVOUtil_RefCountInc(&c);
  EXPECT_EQ(c.count, c.limit);
  EXPECT_EQ(TARVOUtil_RefCountDecIsZero(&c), 0u);
  EXPECT_EQ(c.count, c.limit);

  QiraRefCount small = {.count = 3, .limit = 3};  // a pinned count, whatever the limit
  TARVOUtil_RefCountInc(&small);
  EXPECT_EQ(TARVOUtil_RefCountDecIsZero(&small), 0u);
  EXPECT_EQ(small.count, 3u);
}

}  // namespace
