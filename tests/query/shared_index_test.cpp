// A lab's shared index in the panel: "Search in: Network" searches it, the
// other scopes the user's own index, and Open reaches a hit where the share is
// mounted here.
#include "query/shared_index.h"

#include <nlohmann/json.hpp>

#include "app/lifecycle.h"
#include "query/collect.h"
#include "results/result_list.h"
#include "tests/support/postgres_database.h"
#include "tests/support/recording_opener.h"
#include "tests/support/search_fixture.h"

using namespace metadata;

namespace {

class SharedIndexTest : public SearchPanelTest {
 protected:
  void SetUp() override {
    SearchPanelTest::SetUp();
    if (const std::string reason = TestDatabase::SkipReason(); !reason.empty()) GTEST_SKIP() << reason;
    database_ = std::make_unique<TestDatabase>();
    Index({
        R"({"path": "/home/me/aspirin.jdx", "attributes": {"kMDItemTitle": "My aspirin"}})",
        R"({"path": "/net/share/aspirin-cosy.jdx", "network": true, "attributes": {"kMDItemTitle": "Aspirin COSY"}})",
    });
    std::string error;
    auto lab = IndexWriter::Open(database_->uri(), error);
    ASSERT_NE(lab, nullptr) << error;
    lab->Begin();
    for (const char* path : {"/srv/nmr/2024/aspirin 1H.jdx", "/srv/nmr/2024/aspirin 13C.jdx", "/srv/other/aspirin.mol"}) {
      DocumentRecord record;
      record.path = path;
      record.attributes["kMDItemTitle"] = "Aspirin in the lab";
      lab->Put(record);
    }
    lab->Commit();
    Stop();
    nlohmann::json preferences = {{kSharedIndexKey, database_->uri()}, {kSharedIndexMountsKey, {{"/srv/nmr", "/mnt/lab nmr"}}}};
    WritePreferences(preferences.dump());
    Start();
    SetText(kTextSignature, 0, QStringLiteral("aspirin"));
  }
  void TearDown() override {
    SetSharedIndex({});
    SearchPanelTest::TearDown();
  }
  std::unique_ptr<TestDatabase> database_;
};

TEST_F(SharedIndexTest, NetworkSearchesTheLabsIndexAndTheOtherScopesTheUsersOwn) {
  SetValue(kMenuSignature, 2, 3);
  Collect(false);
  EXPECT_EQ(Status(), "3 Hits");
  EXPECT_EQ(RowPath(1), "/srv/nmr/2024/aspirin 13C.jdx");  // as the server records it
  Collect(true);  // within the lab's results
  EXPECT_EQ(Status(), "3 Hits");
  SetValue(kMenuSignature, 2, 1);
  Collect(false);
  EXPECT_EQ(Status(), "2 Hits");
  EXPECT_EQ(RowPath(1), "/home/me/aspirin.jdx");
}

TEST_F(SharedIndexTest, OpenReachesAHitWhereItsShareIsMounted) {
  RecordingOpener opener(home_->root());
  SetValue(kMenuSignature, 2, 3);
  Collect(false);
  for (DataBrowserItemID row = 1; row <= 3; ++row) MyNotificationCallback(sInfo->resultBrowser, row, kDataBrowserItemDoubleClicked);
  EXPECT_EQ(opener.Calls(), (std::vector<std::vector<std::string>>{
                                {"/mnt/lab nmr/2024/aspirin 13C.jdx"}, {"/mnt/lab nmr/2024/aspirin 1H.jdx"}, {"/srv/other/aspirin.mol"}}));
  SetValue(kMenuSignature, 2, 1);
  Collect(false);  // the user's own hits open where they are
  MyNotificationCallback(sInfo->resultBrowser, 1, kDataBrowserItemDoubleClicked);
  EXPECT_EQ(opener.Calls().back(), std::vector<std::string>{"/home/me/aspirin.jdx"});
}

TEST_F(SharedIndexTest, AnUnreachableSharedIndexSaysWhy) {
  Stop();
  setenv("ORVANE_SHARED_INDEX", "postgresql:///none?host=/nonexistent-socket-folder", 1);
  Start();
  unsetenv("ORVANE_SHARED_INDEX");
  SetText(kTextSignature, 0, QStringLiteral("aspirin"));
  SetValue(kMenuSignature, 2, 3);
  Collect(false);
  EXPECT_EQ(Status(), "search failed");
  EXPECT_NE(Summary().indexOf(QStringLiteral("cannot connect to the index postgresql:///none")), -1) << Summary().toStdString();
}

}  // namespace
