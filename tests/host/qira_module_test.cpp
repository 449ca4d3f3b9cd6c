// The host stand-in loads the built qira.so the way the real host does.  The
// version record, reference and symbols themselves are the module tests' business.
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
  ASSERT_EQ(host->symbols().size(), 36u);

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
  const TypeView *dir = host->type("QIRAdirectory"), *ent = host->type("QIRAdirectoryentry");
  ASSERT_TRUE(host->types().size() == 2 && dir && ent);
  EXPECT_EQ(std::vector<size_t>({dir->props.size(), dir->methods.size(), ent->props.size(), ent->methods.size()}),
            std::vector<size_t>({9, 5, 18, 7}));
  EXPECT_EQ(dir->desc->privsize, QIRA_DIR_PRIVATE_SIZE);
  EXPECT_EQ(ent->desc->privsize, QIRA_DIRENTRY_PRIVATE_SIZE);
  EXPECT_TRUE(dir->record->next == ent->record && ent->record->next == dir->record);
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
