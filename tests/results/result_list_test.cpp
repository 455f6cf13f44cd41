// The result list: each row's path when drawn, the summary on selection, and
// opening a hit with its exact path.
#include "results/result_list.h"
#include "query/collect.h"
#include "tests/support/recording_opener.h"
#include "tests/support/search_fixture.h"

using namespace metadata;

namespace {

class ResultListTest : public SearchPanelTest {
 protected:
  void SetUp() override {
    SearchPanelTest::SetUp();
    std::vector<DocumentRecord> records;
    for (const std::string& path : kOddPaths) {
      DocumentRecord record;
      record.path = path;
      record.attributes["Tormalin_nD"] = 1.0;
      record.attributes["kMDItemTitle"] = "title of " + path;
      records.push_back(record);
    }
    DocumentRecord bare;
    bare.path = "/d/zzz-bare.jdx";
    bare.attributes["Tormalin_nD"] = 1.0;
    records.push_back(bare);
    IndexRecords(records);
    SetValue(kMenuSignature, 3, 1);
    Collect(false);
  }
  const std::vector<std::string> kOddPaths = {"/d/a plain name.jdx", "/d/b \"quoted\" 'name'.jdx", "/d/c new\nline.jdx",
                                              "/d/-d leading dash", std::string("/d/e caf\xe9.jdx")};
};

TEST_F(ResultListTest, RowsShowThePathsOfTheResultsInOrder) {
  ASSERT_EQ(Rows(), 6u);
  EXPECT_EQ(RowPath(1), "/d/-d leading dash");
  EXPECT_EQ(RowPath(2), "/d/a plain name.jdx");
  EXPECT_EQ(RowPath(6), "/d/zzz-bare.jdx");
  DataBrowserItemData cell;
  EXPECT_EQ(MyItemDataCallback(sInfo->resultBrowser, 2, FourCC("NAME"), &cell, false), errDataBrowserPropertyNotSupported);
  EXPECT_EQ(MyItemDataCallback(sInfo->resultBrowser, 2, kDataBrowserItemIsContainerProperty, &cell, false),
            errDataBrowserPropertyNotSupported);
  EXPECT_FALSE(cell.textSet);
}

TEST_F(ResultListTest, SelectingARowShowsItsSummary) {
  MyNotificationCallback(sInfo->resultBrowser, 3, kDataBrowserItemSelected);
  EXPECT_EQ(Summary(), "title of /d/b \"quoted\" 'name'.jdx\r\rno. of dimensions: 1");
  MyNotificationCallback(sInfo->resultBrowser, 6, kDataBrowserItemSelected);
  EXPECT_EQ(Summary(), "no. of dimensions: 1");
  for (DataBrowserItemNotification other : {kDataBrowserItemAdded, kDataBrowserItemRemoved, kDataBrowserItemDeselected})
    MyNotificationCallback(sInfo->resultBrowser, 1, other);
  MyNotificationCallback(sInfo->resultBrowser, 99, kDataBrowserItemSelected);
  EXPECT_EQ(Summary(), "no. of dimensions: 1");
}

TEST_F(ResultListTest, DoubleClickingOpensTheExactPath) {
  RecordingOpener opener(home_->root());
  for (DataBrowserItemID row = 1; row <= 5; ++row) MyNotificationCallback(sInfo->resultBrowser, row, kDataBrowserItemDoubleClicked);
  const auto calls = opener.Calls();
  ASSERT_EQ(calls.size(), 5u);
  std::vector<std::string> sorted = kOddPaths;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i], std::vector<std::string>{sorted[i]});
  MyNotificationCallback(sInfo->resultBrowser, 42, kDataBrowserItemDoubleClicked);
  EXPECT_EQ(opener.Calls().size(), 5u);
}

}  // namespace
