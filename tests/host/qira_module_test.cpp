// The host stand-in loads the built qira.so the way the real host does.
#include "host/host.h"

#include <gtest/gtest.h>

using namespace qhost;

namespace {

TEST(QiraModule, IntroducesItselfAndRegistersBothTypesInOneRing) {
  std::string err;
  auto host = Host::load(QIRA_MODULE_PATH, err);
  ASSERT_TRUE(host) << err;
  EXPECT_EQ(host->version().size, sizeof(QiraVersion));
  EXPECT_EQ(host->description(), "Veltraxis Operating System Utility functions library");
  EXPECT_EQ(host->versionText8(), "1.00.001");
  EXPECT_EQ(host->references(), std::vector<uint32_t>{0});
  ASSERT_EQ(host->symbols().size(), 36u);
  EXPECT_EQ(host->symbol8(1), "QIRAdirectory");
  EXPECT_EQ(host->symbol8(36), "__");

  // A missing or refusing 130: the first refusal is returned, nothing more offered.
  host->failGetter(130);
  EXPECT_EQ(host->addTypes(), QIRA_ERR_NOHOSTFUNC);
  host->clearFaults();
  host->failHostFn(130, QIRA_ERR_NOMEM);
  EXPECT_EQ(host->addTypes(), QIRA_ERR_NOMEM);
  EXPECT_EQ(host->hostCalls(130), 1u);
  EXPECT_TRUE(host->types().empty());
  host->clearFaults();

  ASSERT_EQ(host->addTypes(), QIRA_OK);
  ASSERT_EQ(host->types().size(), 2u);
  const TypeView *dir = host->type("QIRAdirectory");
  const TypeView *ent = host->type("QIRAdirectoryentry");
  ASSERT_TRUE(dir && ent);
  EXPECT_EQ(dir->props.size(), 9u);
  EXPECT_EQ(dir->methods.size(), 5u);
  EXPECT_EQ(ent->props.size(), 18u);
  EXPECT_EQ(ent->methods.size(), 7u);
  EXPECT_EQ(dir->desc->privsize, QIRA_DIR_PRIVATE_SIZE);
  EXPECT_EQ(ent->desc->privsize, QIRA_DIRENTRY_PRIVATE_SIZE);
  EXPECT_EQ(dir->record->next, ent->record);
  EXPECT_EQ(ent->record->next, dir->record);
  EXPECT_EQ(ent->record->info->init, ent->desc->init);
  EXPECT_TRUE(host->violations().empty()) << host->violations().front();

  // The entry type refused after the directory type was taken: that refusal.
  auto again = Host::load(QIRA_MODULE_PATH, err);
  ASSERT_TRUE(again) << err;
  again->failHostFn(Fault{130, 1234, 1, 1});
  EXPECT_EQ(again->addTypes(), 1234u);
  EXPECT_EQ(again->hostCalls(130), 2u);
}

}  // namespace
