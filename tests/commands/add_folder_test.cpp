// "Add Folder to Index…": the indexer runs in the background and its dialog
// tells how far it got, or why it failed.
#include <QLabel>
#include <QProgressDialog>
#include <QTest>

#include "commands/add_folder.h"
#include "platform/metadata/query.h"
#include "tests/support/panel_fixture.h"

namespace fs = std::filesystem;

namespace {

class AddFolderTest : public PanelTest {
 protected:
  void SetUp() override {
    PanelTest::SetUp();
    Start();
  }
  QString RunUntilClosable(QWidget* dialog) {
    auto* progress = qobject_cast<QProgressDialog*>(dialog);
    EXPECT_TRUE(QTest::qWaitFor([&] { return progress->maximum() == 1; }, 60000));
    return progress->labelText();
  }
};

TEST_F(AddFolderTest, TheFolderIsIndexedAndTheDialogSaysHowItWent) {
  const fs::path folder = home_->root() / "my spectra";
  fs::create_directories(folder);
  fs::copy_file(fs::path(ORVANE_TESTDATA_DIR) / "jcamp" / "aspirin-1h.dx", folder / "aspirin.jdx");
  fs::copy_file(fs::path(ORVANE_TESTDATA_DIR) / "molecules" / "first-five.smi", folder / "five.smi");
  QWidget* dialog = StartIndexing(QString::fromStdString(folder.string()), window_);
  EXPECT_EQ(RunUntilClosable(dialog), "Done: 2 documents imported, 0 failed.");
  metadata::MDQueryRef query = metadata::MDQueryCreate("InRange(Tormalin_Peaks,2.24,2.34)");
  ASSERT_TRUE(metadata::MDQueryExecute(query, metadata::kMDQuerySynchronous));
  EXPECT_EQ(metadata::MDQueryGetResultCount(query), 1);
  dialog->close();
}

TEST_F(AddFolderTest, AFailureIsShownWithItsReason) {
  WriteFile(home_->root() / "blocker", "a file where the index's folder should be");
  setenv("ORVANE_INDEX", (home_->root() / "blocker" / "index.sqlite").c_str(), 1);
  QWidget* dialog = StartIndexing(QString::fromStdString(home_->root().string()), window_);
  const QString label = RunUntilClosable(dialog);
  unsetenv("ORVANE_INDEX");
  EXPECT_TRUE(label.startsWith("Indexing failed: orvane-index: cannot")) << label.toStdString();
  dialog->close();
}

}  // namespace
