// The host stand-in loads the built qira.so the way the real host does.
#include "host/host.h"

#include <gtest/gtest.h>

using namespace qhost;

namespace {

// A refusal of 130 part way is returned and nothing more is offered; then
// both types register in one ring.
TEST(QiraModule, RegistersBothTypesInOneRing) {
  std::string err;
  auto host = Host::load(QIRA_MODULE_PATH, err);
  ASSERT_TRUE(host) << err;
  host->failHostFn(Fault{130, 1234, 1, 1});
  EXPECT_EQ(host->addTypes(), 1234u);
  EXPECT_EQ(host->hostCalls(130), 2u);
  host->clearFaults();

  auto again = Host::load(QIRA_MODULE_PATH, err);
  ASSERT_TRUE(again) << err;
  ASSERT_EQ(again->addTypes(), QIRA_OK);
  const TypeView *dir = again->type("QIRAdirectory"), *ent = again->type("QIRAdirectoryentry");
  ASSERT_TRUE(again->types().size() == 2 && dir && ent);
  EXPECT_EQ(std::vector<size_t>({dir->props.size(), dir->methods.size(), ent->props.size(), ent->methods.size()}),
            std::vector<size_t>({9, 5, 18, 7}));
  EXPECT_TRUE(dir->record->next == ent->record && ent->record->next == dir->record);
  EXPECT_EQ(ent->record->info->init, ent->desc->init);
  EXPECT_TRUE(again->violations().empty()) << again->violations().front();
}

}  // namespace
