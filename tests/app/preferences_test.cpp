// The preference store on its own: typed values, merging with what is on disk,
// atomic replacement.
#include <gtest/gtest.h>

#include "app/preferences.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

TEST(PreferencesTest, ValuesKeepTheirTypesAcrossAWrite) {
  TempHome home;
  PreferencesSetAppValue("numbers", json({1, -2, 32767}));
  PreferencesSetAppValue("text", "Ünïcode / \"quoted\"\nline");
  ASSERT_TRUE(PreferencesAppSynchronize());
  EXPECT_EQ(PreferencesCopyAppValue("numbers"), json({1, -2, 32767}));
  EXPECT_EQ(PreferencesCopyAppValue("text"), json("Ünïcode / \"quoted\"\nline"));
  EXPECT_FALSE(PreferencesCopyAppValue("absent").has_value());
  EXPECT_EQ(PreferencesFile(), home.config() / "orvane" / "preferences.json");
}

TEST(PreferencesTest, AWriteKeepsKeysWrittenMeanwhileByAnotherRun) {
  TempHome home;
  PreferencesSetAppValue("mine", 1);
  WriteFile(PreferencesFile(), R"({"theirs": 2})");
  ASSERT_TRUE(PreferencesAppSynchronize());
  const json stored = json::parse(ReadFile(PreferencesFile()));
  EXPECT_EQ(stored, json({{"mine", 1}, {"theirs", 2}}));
}

TEST(PreferencesTest, AWriteLeavesNoTemporaryFileBehind) {
  TempHome home;
  PreferencesSetAppValue("key", "value");
  ASSERT_TRUE(PreferencesAppSynchronize());
  int files = 0;
  for (const auto& entry : fs::directory_iterator(PreferencesFile().parent_path())) {
    ++files;
    EXPECT_EQ(entry.path().filename(), "preferences.json");
  }
  EXPECT_EQ(files, 1);
}

TEST(PreferencesTest, AnUnreadableStoreIsNoPreferencesAndAFailedWriteKeepsTheValues) {
  TempHome home;
  fs::create_directories(PreferencesFile());  // a folder where the file should be
  EXPECT_FALSE(PreferencesCopyAppValue("key").has_value());
  PreferencesSetAppValue("key", "value");
  EXPECT_FALSE(PreferencesAppSynchronize());
  EXPECT_EQ(PreferencesCopyAppValue("key"), json("value"));  // still pending, not lost
  fs::remove(PreferencesFile());
  EXPECT_TRUE(PreferencesAppSynchronize());
  EXPECT_EQ(json::parse(ReadFile(PreferencesFile()))["key"], "value");
}

}  // namespace
