// The host stand-in loads the built qira.so the way the real host does.
#include <gtest/gtest.h>

#include "host/host.h"

using namespace qhost;

namespace {

// The version record the host reads first, word by word; a refusal of 130 part
// way is returned and nothing more is offered; then both types register in one ring.
TEST(QiraModule, RegistersBothTypesInOneRing) {
  std::string err;
  auto host = Host::load(QIRA_MODULE_PATH, err);
  ASSERT_TRUE(host) << err;
  const QiraVersion &v = host->version();
  EXPECT_EQ(std::vector<uint32_t>(v.ver, v.ver + 5), std::vector<uint32_t>({1, 0, 0, 1, 4}));
  EXPECT_TRUE(v.size == sizeof v && v.desclen1 == 52 && v.desclen2 == 52 && v.desc1 == v.desc2);
  host->failHostFn(Fault{130, 1234, 1, 1});
  EXPECT_EQ(host->addTypes(), 1234u);
  EXPECT_EQ(host->hostCalls(130), 2u);

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
