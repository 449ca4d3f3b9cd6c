// The host stand-in loads the built qira.so the way the real host does.
#include "host/host.h"

#include <gtest/gtest.h>

using namespace qhost;

namespace {

std::unique_ptr<Host> loadQira(std::string &err) { return Host::load(QIRA_MODULE_PATH, err); }

#define LOAD_OR_SKIP(host)                                                       \
  std::string err_;                                                              \
  auto host = loadQira(err_);                                                    \
  if (!host) GTEST_SKIP() << "qira.so cannot be loaded yet: " << err_;

TEST(QiraModule, IntroducesItselfAndRegistersBothTypes) {
  LOAD_OR_SKIP(host);
  EXPECT_EQ(host->version().size, sizeof(QiraVersion));
  EXPECT_EQ(host->description(), "Veltraxis Operating System Utility functions library");
  EXPECT_EQ(host->versionText8(), "1.00.001");
  EXPECT_EQ(host->references(), std::vector<uint32_t>{0});
  ASSERT_EQ(host->symbols().size(), 36u);
  EXPECT_EQ(host->symbol8(1), "QIRAdirectory");
  EXPECT_EQ(host->symbol8(36), "__");

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
  // Registered together: one ring of two.
  EXPECT_EQ(dir->record->next, ent->record);
  EXPECT_EQ(ent->record->next, dir->record);
  EXPECT_TRUE(host->violations().empty()) << host->violations().front();
}

TEST(QiraModule, AddTypesReportsAMissingOrFailingRegistration) {
  LOAD_OR_SKIP(host);
  host->failGetter(130);
  EXPECT_EQ(host->addTypes(), QIRA_ERR_NOHOSTFUNC);
  host->clearFaults();
  // The first refusal is returned and the entry type is not offered.
  host->failHostFn(130, QIRA_ERR_NOMEM);
  EXPECT_EQ(host->addTypes(), QIRA_ERR_NOMEM);
  EXPECT_EQ(host->hostCalls(130), 1u);
  EXPECT_TRUE(host->types().empty());
}

}  // namespace
