// The panel's commands as the toolkit delivers them, and the folder chooser.
#include <QComboBox>
#include <QFileDialog>
#include <QTest>
#include <QUrl>

#include "commands/window_handler.h"
#include "tests/support/recording_opener.h"
#include "tests/support/search_fixture.h"

namespace fs = std::filesystem;

namespace {

class WindowHandlerTest : public SearchPanelTest {
 protected:
  void SetUp() override {
    SearchPanelTest::SetUp();
    Index({R"({"path": "/d/a-1h.jdx", "attributes": {"kMDItemTitle": "A", "Tormalin_nD": 1, "Tormalin_Nucleus": ["1H"]}})",
           R"({"path": "/d/b-13c.jdx", "attributes": {"kMDItemTitle": "B", "Tormalin_nD": 1, "Tormalin_Nucleus": ["13C"]}})",
           R"({"path": "/d/c-cosy.jdx", "attributes": {"kMDItemTitle": "C", "Tormalin_nD": 2, "Tormalin_Nucleus": ["1H", "1H"]}})"});
  }
  OSStatus Send(const char (&code)[5]) { return ProcessHICommand(window_, FourCC(code)); }

  // Everything a command could change, to compare before and after.
  struct Snapshot {
    std::vector<QString> texts;
    std::vector<SInt32> values;
    std::vector<std::optional<QString>> fields;
    std::vector<SInt16> numbers;
    bool lastQueryEnabled;
    bool operator==(const Snapshot&) const = default;
  };
  Snapshot Take() {
    Snapshot s;
    for (SInt32 i = 0; i < kFieldCount; ++i) s.texts.push_back(Text(kTextSignature, i));
    s.texts.push_back(Summary());
    s.texts.push_back(Status());
    for (SInt32 i = 0; i < kCheckCount; ++i) s.values.push_back(Value(kCheckSignature, i));
    for (SInt32 i : {0, 1, 2, 3, 7}) s.values.push_back(Value(kMenuSignature, i));
    s.values.push_back(SInt32(Rows()));
    s.fields.assign(std::begin(sInfo->fieldText), std::end(sInfo->fieldText));
    s.numbers.assign(std::begin(sInfo->menuValue), std::end(sInfo->menuValue));
    s.numbers.push_back(sInfo->checkFlags);
    s.lastQueryEnabled = IsControlEnabled(sInfo->lastQueryButton);
    return s;
  }
};

TEST_F(WindowHandlerTest, SearchAndSearchWithinResults) {
  SetValue(kMenuSignature, 3, 1);
  EXPECT_EQ(Send("ok  "), noErr);
  EXPECT_EQ(Status(), "2 Hits");
  SetValue(kMenuSignature, 3, 4);
  SetText(kTextSignature, kNucleusField, QStringLiteral("13C"));
  EXPECT_EQ(Send("SinR"), noErr);
  EXPECT_EQ(Status(), "1 Hits");
  EXPECT_EQ(RowPath(1), "/d/b-13c.jdx");
}

TEST_F(WindowHandlerTest, AnUnknownCodeChangesNothingAndFallsThrough) {
  SetText(kTextSignature, 1, QStringLiteral("C6H6"));
  Send("ok  ");
  const Snapshot before = Take();
  EXPECT_EQ(WindowHandler(nullptr, nullptr, window_), eventNotHandledErr);  // no command record
  EXPECT_EQ(Send("zzzz"), eventNotHandledErr);
  EXPECT_EQ(Take(), before);
}

TEST_F(WindowHandlerTest, ClearEmptiesTheEntriesButKeepsTheLastSearch) {
  SetValue(kMenuSignature, 2, 4);
  SetText(kTextSignature, kFolderField, QStringLiteral("/d"));
  SetValue(kMenuSignature, 3, 1);
  SetValue(kCheckSignature, 0, 1);
  SetText(kTextSignature, 0, QStringLiteral("A"));
  Send("ok  ");
  ASSERT_EQ(Status(), "1 Hits");
  const auto query = sInfo->query;
  SetValue(kMenuSignature, 2, 3);  // changed after the search

  EXPECT_EQ(Send("CALL"), noErr);
  for (SInt32 i = 0; i < kFieldCount; ++i) EXPECT_EQ(Text(kTextSignature, i), "");
  for (const auto& field : sInfo->fieldText) EXPECT_FALSE(field.has_value());
  EXPECT_EQ(Value(kCheckSignature, 0), 0);
  EXPECT_EQ(Value(kMenuSignature, 3), 4);
  EXPECT_EQ(Value(kMenuSignature, 2), 4);  // back to the last search's item
  EXPECT_FALSE(IsControlEnabled(sInfo->lastQueryButton));
  EXPECT_EQ(sInfo->query, query);
  EXPECT_EQ(Status(), "1 Hits");
  EXPECT_EQ(Rows(), 1u);

  const Snapshot once = Take();
  EXPECT_EQ(Send("CALL"), noErr);
  EXPECT_EQ(Take(), once);

  EXPECT_EQ(Send("ok  "), noErr);
  EXPECT_EQ(Status(), "generic query");
}

TEST_F(WindowHandlerTest, ClearThenSearchWithinUsesTheLastResults) {
  SetValue(kMenuSignature, 3, 1);
  Send("ok  ");
  Send("CALL");
  SetText(kTextSignature, kNucleusField, QStringLiteral("1H"));
  Send("SinR");
  EXPECT_EQ(Status(), "1 Hits");
  EXPECT_EQ(RowPath(1), "/d/a-1h.jdx");
}

TEST_F(WindowHandlerTest, LastQueryBringsBackTheLastSearchsEntries) {
  SetText(kTextSignature, 1, QStringLiteral("C6H6"));
  SetText(kTextSignature, 2, QStringLiteral("."));  // dropped by the search
  SetValue(kCheckSignature, 2, 1);
  SetValue(kMenuSignature, 0, 2);
  Send("ok  ");
  SetText(kTextSignature, 1, QStringLiteral("edited"));
  SetText(kTextSignature, 4, QStringLiteral("300"));
  SetValue(kCheckSignature, 2, 0);
  SetValue(kMenuSignature, 0, 1);
  EXPECT_EQ(Send("LaQu"), noErr);
  EXPECT_EQ(Text(kTextSignature, 1), "C6H6");
  EXPECT_EQ(Text(kTextSignature, 2), "");
  EXPECT_EQ(Text(kTextSignature, 4), "");
  EXPECT_EQ(Value(kCheckSignature, 2), 1);
  EXPECT_EQ(Value(kMenuSignature, 0), 2);
}

TEST_F(WindowHandlerTest, NucleusReplacesTheFieldButNotTheRecord) {
  SetText(kTextSignature, kNucleusField, QStringLiteral("1H"));
  SetValue(kMenuSignature, 3, 1);
  Send("ok  ");
  SetText(kTextSignature, kNucleusField, QStringLiteral("something else"));
  MenuRef nuclei = GetControlPopupMenuHandle(Control(kMenuSignature, 7));
  SetValue(kMenuSignature, 7, nuclei->findText(QStringLiteral("13C")) + 1);
  EXPECT_EQ(Send("NUCL"), noErr);
  EXPECT_EQ(Text(kTextSignature, kNucleusField), "13C");
  EXPECT_EQ(sInfo->fieldText[kNucleusField], QStringLiteral("1H"));
}

TEST_F(WindowHandlerTest, HelpOpensThePageOrQuietlyDoesNothing) {
  RecordingOpener opener(home_->root());
  EXPECT_EQ(Send("HELP"), noErr);
  ASSERT_EQ(opener.Calls().size(), 1u);
  const QByteArray url = QUrl::fromLocalFile(QStringLiteral(ORVANE_SHARE_DIR "/help/Varnix Help/pgs/metadata.html")).toEncoded();
  EXPECT_EQ(opener.Calls()[0], (std::vector<std::string>{url.toStdString()}));
  SetResourceFolders({home_->root() / "no-help-here"});
  EXPECT_EQ(Send("HELP"), noErr);
  EXPECT_EQ(opener.Calls().size(), 1u);
  SetResourceFolders({ORVANE_SHARE_DIR});
}

class FolderChooserTest : public WindowHandlerTest {
 protected:
  QFileDialog* OpenChooser() {
    SetValue(kMenuSignature, kScopeMenu, 4);
    EXPECT_EQ(Send("FOLD"), noErr);
    return window_->findChild<QFileDialog*>(QStringLiteral("ChooseFolderDialog"));
  }
  void Finish(QFileDialog* dialog, const fs::path& folder) {
    if (folder.empty()) {
      dialog->reject();
    } else {
      dialog->setDirectory(QString::fromStdString(folder.parent_path().string()));
      dialog->selectFile(QString::fromStdString(folder.string()));
      QMetaObject::invokeMethod(dialog, "accept");
    }
    QTest::qWait(20);  // the callback runs from the event loop
  }
};

TEST_F(FolderChooserTest, OnlyTheFolderScopeOpensTheChooser) {
  for (SInt32 item : {1, 2, 3}) {
    SetValue(kMenuSignature, kScopeMenu, item);
    EXPECT_EQ(Send("FOLD"), noErr);
    EXPECT_EQ(window_->findChild<QFileDialog*>(), nullptr) << item;
  }
}

TEST_F(FolderChooserTest, AChosenFolderFillsTheFieldUntilTheNextSearchReadsIt) {
  const fs::path folder = home_->root() / "spectra with blanks";
  fs::create_directories(folder);
  SetText(kTextSignature, kFolderField, QStringLiteral("/old"));
  QFileDialog* dialog = OpenChooser();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
  EXPECT_EQ(dialog->parentWidget(), window_);
  Finish(dialog, folder);
  EXPECT_EQ(Text(kTextSignature, kFolderField), QString::fromStdString(folder.string()));
  EXPECT_FALSE(sInfo->fieldText[kFolderField].has_value());
  EXPECT_EQ(Value(kMenuSignature, kScopeMenu), 4);

  QFileDialog* again = OpenChooser();  // every time, also with a folder in the field
  ASSERT_NE(again, nullptr);
  Finish(again, {});
  EXPECT_EQ(Text(kTextSignature, kFolderField), QString::fromStdString(folder.string()));
}

TEST_F(FolderChooserTest, ALongPathIsTakenWhole) {
  fs::path folder = home_->root();
  while (folder.string().size() < 700) folder /= std::string(60, 'f');
  fs::create_directories(folder);
  QFileDialog* dialog = OpenChooser();
  ASSERT_NE(dialog, nullptr);
  Finish(dialog, folder);
  EXPECT_EQ(Text(kTextSignature, kFolderField), QString::fromStdString(folder.string()));
}

}  // namespace
