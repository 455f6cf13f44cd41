// Start-up and shutdown of the panel: what the preferences bring back, what
// shutdown writes, and the runs where an interface description is missing.
#include <QAction>
#include <QApplication>
#include <QMenuBar>
#include <QProcess>
#include <QTimer>
#include <nlohmann/json.hpp>

#include "app/lifecycle.h"
#include "app/preferences.h"
#include "query/collect.h"
#include "tests/support/panel_fixture.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

json StoredPreferences(const fs::path& file) { return json::parse(ReadFile(file), nullptr, false); }

class LifecycleTest : public PanelTest {};

TEST_F(LifecycleTest, FirstRunShowsTheDescriptionsItemsAndStoresFiveZeros) {
  Start();
  for (SInt32 i = 0; i < kFieldCount; ++i) EXPECT_EQ(Text(kTextSignature, i), "") << "TEXT " << i;
  for (SInt32 i = 0; i < kCheckCount; ++i) EXPECT_EQ(Value(kCheckSignature, i), 0) << "CHEC " << i;
  EXPECT_EQ(Value(kMenuSignature, 0), 3);  // title or notes
  EXPECT_EQ(Value(kMenuSignature, 2), 1);  // this computer
  EXPECT_EQ(Value(kMenuSignature, 3), 4);  // any number of dimensions
  EXPECT_FALSE(IsControlEnabled(sInfo->lastQueryButton));
  EXPECT_TRUE(sInfo->window->isVisible());

  Stop();
  const json stored = StoredPreferences(PreferencesPath());
  EXPECT_EQ(stored["Orvane Options"], json({0, 0, 0, 0, 0}));
  EXPECT_FALSE(stored.contains("Orvane Folder"));
  EXPECT_FALSE(stored.contains("Orvane Nucleus"));
}

TEST_F(LifecycleTest, TheLastSearchsEntriesComeBackAtTheNextStart) {
  Start();
  sInfo->menuValue[0] = 1;
  sInfo->menuValue[1] = 4;
  sInfo->menuValue[2] = 4;
  sInfo->menuValue[3] = 2;
  sInfo->checkFlags = 5;
  sInfo->fieldText[kFolderField] = QStringLiteral("/data/spectra with blanks/\"quoted\"");
  sInfo->fieldText[kNucleusField] = QStringLiteral("13C");
  sInfo->fieldText[0] = QStringLiteral("not kept");
  Stop();

  Start();
  EXPECT_EQ(Value(kMenuSignature, 0), 1);
  EXPECT_EQ(Value(kMenuSignature, 1), 4);
  EXPECT_EQ(Value(kMenuSignature, 2), 4);
  EXPECT_EQ(Value(kMenuSignature, 3), 2);
  EXPECT_EQ(Value(kCheckSignature, 0), 1);
  EXPECT_EQ(Value(kCheckSignature, 1), 0);
  EXPECT_EQ(Value(kCheckSignature, 2), 1);
  EXPECT_EQ(Text(kTextSignature, kFolderField), "/data/spectra with blanks/\"quoted\"");
  EXPECT_EQ(Text(kTextSignature, kNucleusField), "13C");
  EXPECT_EQ(Text(kTextSignature, 0), "");
  EXPECT_EQ(sInfo->checkFlags, 5);
  EXPECT_EQ(sInfo->fieldText[kNucleusField], QStringLiteral("13C"));
  EXPECT_FALSE(sInfo->fieldText[0].has_value());
}

TEST_F(LifecycleTest, TheSmilesSearchPopupIsKeptApartFromTheOptions) {
  Start();
  EXPECT_EQ(Value(kMenuSignature, kSmilesMenu), kSmilesContainsText);
  SetValue(kMenuSignature, kSmilesMenu, kSmilesSubstructure);
  SetText(kTextSignature, 2, QStringLiteral("c1ccccc1"));
  Collect(false);
  Stop();
  const json stored = StoredPreferences(PreferencesPath());
  EXPECT_EQ(stored["Orvane SMILES Search"], kSmilesSubstructure);
  EXPECT_EQ(stored["Orvane Options"].size(), 5u);
  Start();
  EXPECT_EQ(Value(kMenuSignature, kSmilesMenu), kSmilesSubstructure);
  Stop();
  WritePreferences(R"({"Orvane Options": [1, 2, 4, 3, 0], "Orvane SMILES Search": 9})");
  Start();
  EXPECT_EQ(Value(kMenuSignature, kSmilesMenu), kSmilesContainsText);
}

TEST_F(LifecycleTest, AShortOptionsArrayRestoresOnlyTheElementsItHas) {
  WritePreferences(R"({"Orvane Options": [1, 2, 4]})");
  Start();
  EXPECT_EQ(Value(kMenuSignature, 0), 1);
  EXPECT_EQ(Value(kMenuSignature, 1), 2);
  EXPECT_EQ(Value(kMenuSignature, 2), 4);
  EXPECT_EQ(Value(kMenuSignature, 3), 4);
  EXPECT_EQ(sInfo->menuValue[3], 0);
  EXPECT_EQ(sInfo->checkFlags, 0);
  for (SInt32 i = 0; i < kCheckCount; ++i) EXPECT_EQ(Value(kCheckSignature, i), 0);
}

TEST_F(LifecycleTest, ValuesOfTheWrongTypeAreIgnored) {
  WritePreferences(R"({"Orvane Options": [1, "2", null, 2.9, 70000, 3],
                       "Orvane Folder": 12, "Orvane Nucleus": ["1H"]})");
  Start();
  EXPECT_EQ(sInfo->menuValue[0], 1);
  EXPECT_EQ(sInfo->menuValue[1], 0);
  EXPECT_EQ(sInfo->menuValue[2], 0);
  EXPECT_EQ(sInfo->menuValue[3], 2);
  EXPECT_EQ(sInfo->checkFlags, 32767);  // pinned to the 16-bit range, not wrapped
  EXPECT_FALSE(sInfo->fieldText[kFolderField].has_value());
  EXPECT_FALSE(sInfo->fieldText[kNucleusField].has_value());
  Stop();

  WritePreferences(R"({"Orvane Options": "1,2,3,4,0"})");
  Start();
  for (SInt16 value : sInfo->menuValue) EXPECT_EQ(value, 0);
}

TEST_F(LifecycleTest, ADamagedFileCountsAsNoPreferencesAndIsKeptAside) {
  const std::string damaged = "{\"Orvane Options\": [1, 2,\n\xff\xfe garbage";
  WritePreferences(damaged);
  Start();
  EXPECT_EQ(Value(kMenuSignature, 3), 4);
  EXPECT_EQ(sInfo->menuValue[0], 0);
  sInfo->fieldText[kNucleusField] = QStringLiteral("19F");
  Stop();

  EXPECT_EQ(StoredPreferences(PreferencesPath())["Orvane Nucleus"], "19F");
  EXPECT_EQ(ReadFile(fs::path(PreferencesPath()) += ".damaged"), damaged);
}

TEST_F(LifecycleTest, KeysNotWrittenKeepTheirEarlierValues) {
  WritePreferences(R"({"Orvane Folder": "/old/folder", "Orvane Nucleus": "1H", "Window Size": [980, 680]})");
  Start();
  sInfo->fieldText[kFolderField].reset();  // the folder field was emptied before the last search
  Stop();
  const json stored = StoredPreferences(PreferencesPath());
  EXPECT_EQ(stored["Orvane Folder"], "/old/folder");
  EXPECT_EQ(stored["Orvane Nucleus"], "1H");
  EXPECT_EQ(stored["Window Size"], json({980, 680}));
}

TEST_F(LifecycleTest, AFailedWriteNeitherCrashesNorLeavesTheRecord) {
  const fs::path blocked = home_->root() / "not-a-folder";
  const std::string contents = "a file where the configuration folder should be";
  WriteFile(blocked, contents);
  setenv("XDG_CONFIG_HOME", blocked.c_str(), 1);
  Start();
  sInfo->fieldText[kNucleusField] = QStringLiteral("31P");
  testing::internal::CaptureStderr();
  Stop();
  const std::string told = testing::internal::GetCapturedStderr();

  EXPECT_EQ(sInfo, nullptr);
  EXPECT_NE(told.find("could not write the preferences to " + (blocked / "orvane" / "preferences.json").string()),
            std::string::npos)
      << told;
  EXPECT_EQ(ReadFile(blocked), contents);  // nothing written over or beside it
  EXPECT_EQ(std::distance(fs::directory_iterator(home_->root()), fs::directory_iterator()), 4)
      << "config, data, home and not-a-folder only";

  // The values stay pending, and the next write that can be done stores them.
  setenv("XDG_CONFIG_HOME", home_->config().c_str(), 1);
  ASSERT_TRUE(PreferencesAppSynchronize());
  const json stored = StoredPreferences(PreferencesPath());
  EXPECT_EQ(stored["Orvane Nucleus"], "31P");
  EXPECT_EQ(stored["Orvane Options"], json({0, 0, 0, 0, 0}));
}

TEST_F(LifecycleTest, ClosingThePanelEndsTheEventLoop) {
  Start();
  QTimer::singleShot(0, window_, [window = window_] { window->close(); });
  RunApplicationEventLoop();
  EXPECT_FALSE(window_->isVisible());
  Stop();
  EXPECT_TRUE(fs::exists(PreferencesPath()));
}

TEST_F(LifecycleTest, WithoutThePanelDescriptionOnlyTheMenuBarRunsAndNothingIsWritten) {
  const fs::path resources = home_->root() / "resources";
  fs::create_directories(resources);
  fs::copy_file(fs::path(ORVANE_SHARE_DIR) / "main.ui", resources / "main.ui");
  SetResourceFolders({resources});

  QTimer::singleShot(0, [] {
    for (QWidget* top : QApplication::topLevelWidgets())
      if (auto* menuBar = top->findChild<QMenuBar*>(QStringLiteral("MenuBar")))
        for (QAction* action : menuBar->findChildren<QAction*>())
          if (action->property("command").toString() == "quit") action->trigger();
  });
  EXPECT_EQ(OrvaneMain(), 0);
  EXPECT_EQ(sInfo, nullptr);
  EXPECT_FALSE(fs::exists(PreferencesPath()));
  // Found first, deleted after: its menus are top-level widgets too, and die with it.
  QWidget* menuBarWindow = nullptr;
  for (QWidget* top : QApplication::topLevelWidgets())
    if (top->objectName() == "MenuBarWindow") menuBarWindow = top;
  delete menuBarWindow;
}

TEST_F(LifecycleTest, WithoutTheMenuBarDescriptionTheProgramFails) {
  SetResourceFolders({home_->root() / "empty"});
  EXPECT_NE(OrvaneMain(), 0);
  EXPECT_EQ(sInfo, nullptr);

  // The program itself, moved where no share/orvane lies beside it.
  const fs::path bin = home_->root() / "bin";
  fs::create_directories(bin);
  fs::copy_file(fs::path(ORVANE_BIN_DIR) / "orvane", bin / "orvane");
  QProcess program;
  program.start(QString::fromStdString((bin / "orvane").string()), {});
  ASSERT_TRUE(program.waitForFinished(30000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_NE(program.exitCode(), 0);
  EXPECT_TRUE(program.readAllStandardError().contains("\"main\""));
  EXPECT_FALSE(fs::exists(PreferencesPath()));
}

}  // namespace
