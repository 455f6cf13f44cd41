// A fixture that makes the real panel from the real interface descriptions,
// with a temporary home, and disposes of it after each test.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "panel/panel_info.h"
#include "tests/support/temp_home.h"

class PanelTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Makes the panel as start-up does, with the preferences now on disk.
  void Start();
  // Loads the menu bar first, as the program does.
  void StartWithMenuBar();
  // Stores the preferences and disposes of the record and the window.
  void Stop();

  ControlRef Control(OSType signature, SInt32 number) const;
  QString Text(OSType signature, SInt32 number) const;
  void SetText(OSType signature, SInt32 number, const QString& text);
  SInt32 Value(OSType signature, SInt32 number) const;
  void SetValue(OSType signature, SInt32 number, SInt32 value);

  std::filesystem::path PreferencesPath() const;
  void WritePreferences(const std::string& json);

  std::unique_ptr<TempHome> home_;
  WindowRef window_ = nullptr;
};

// Readable QStrings in test failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
