// The application's menu commands: "Add Folder to Index…" asks for a folder
// and indexes the one chosen; other codes are left to others.
#include <QApplication>
#include <QFileDialog>
#include <QProgressDialog>
#include <QTest>

#include "commands/menu_commands.h"
#include "platform/metadata/query.h"
#include "tests/support/panel_fixture.h"

namespace fs = std::filesystem;

namespace {

template <class Widget>
Widget* Find(const char* name) {
  for (QWidget* widget : QApplication::allWidgets())
    if (auto* found = qobject_cast<Widget*>(widget); found && found->objectName() == QLatin1String(name)) return found;
  return nullptr;
}

class MenuCommandsTest : public PanelTest {
 protected:
  void SetUp() override {
    PanelTest::SetUp();
    Start();
  }
};

TEST_F(MenuCommandsTest, OnlyItsOwnCommandIsTaken) {
  EXPECT_EQ(ApplicationCommand(FourCC("zzzz")), eventNotHandledErr);
  EXPECT_EQ(ApplicationCommand(FourCC("FOLD")), eventNotHandledErr);  // the panel window's, not the application's
}

TEST_F(MenuCommandsTest, AddFolderAsksForAFolderAndIndexesTheOneChosen) {
  const fs::path folder = home_->root() / "chosen spectra";
  fs::create_directories(folder);
  fs::copy_file(fs::path(ORVANE_TESTDATA_DIR) / "jcamp" / "aspirin-1h.dx", folder / "aspirin.jdx");

  ASSERT_EQ(ApplicationCommand(kAddFolderCommand), noErr);
  QFileDialog* chooser = Find<QFileDialog>("AddFolderChooser");
  ASSERT_NE(chooser, nullptr);
  EXPECT_EQ(chooser->windowTitle(), QStringLiteral("Add Folder to Index"));
  EXPECT_EQ(chooser->fileMode(), QFileDialog::Directory);
  chooser->setDirectory(QString::fromStdString(folder.parent_path().string()));
  chooser->selectFile(QString::fromStdString(folder.string()));
  QMetaObject::invokeMethod(chooser, "accept");

  QProgressDialog* sheet = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] { return (sheet = Find<QProgressDialog>("IndexingDialog")) != nullptr; }, 60000));
  EXPECT_EQ(sheet->windowTitle(), QStringLiteral("Add Folder to Index"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return sheet->maximum() == 1; }, 60000));
  EXPECT_EQ(sheet->labelText(), QStringLiteral("Done: 1 documents imported, 0 failed."));
  metadata::MDQueryRef query = metadata::MDQueryCreate("InRange(Tormalin_Peaks,2.24,2.34)");
  ASSERT_TRUE(metadata::MDQueryExecute(query, metadata::kMDQuerySynchronous));
  EXPECT_EQ(metadata::MDQueryGetResultCount(query), 1);
  sheet->close();
}

}  // namespace
