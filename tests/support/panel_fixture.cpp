#include "tests/support/panel_fixture.h"

#include "app/lifecycle.h"

void PanelTest::SetUp() {
  home_ = std::make_unique<TempHome>();
  SetResourceFolders({ORVANE_SHARE_DIR});
}

void PanelTest::TearDown() {
  Stop();
  home_.reset();
}

void PanelTest::Start() {
  StartOrvane(std::nullopt);
  ASSERT_NE(sInfo, nullptr) << "the panel could not be made from " ORVANE_SHARE_DIR;
  window_ = sInfo->window;
}

void PanelTest::StartWithMenuBar() {
  IBNibRef nib;
  ASSERT_EQ(CreateNibReference("main", nib), noErr);
  ASSERT_EQ(SetMenuBarFromNib(*nib, "MenuBar"), noErr);
  Start();
}

void PanelTest::Stop() {
  if (sInfo) OrvaneStorePreferences();
  DisposeWindow(window_);
  window_ = nullptr;
}

ControlRef PanelTest::Control(OSType signature, SInt32 number) const {
  ControlRef control = nullptr;
  GetControlByID(window_, {signature, number}, &control);
  EXPECT_NE(control, nullptr) << FourCCString(signature) << " " << number;
  return control;
}

QString PanelTest::Text(OSType signature, SInt32 number) const {
  std::optional<QString> text;
  GetControlData(Control(signature, number), kControlEntireControl, kControlEditTextCFStringTag, text);
  return text.value_or(QStringLiteral("<no text>"));
}

void PanelTest::SetText(OSType signature, SInt32 number, const QString& text) {
  SetControlData(Control(signature, number), kControlEntireControl, kControlEditTextCFStringTag, text);
}

SInt32 PanelTest::Value(OSType signature, SInt32 number) const {
  return GetControl32BitValue(Control(signature, number));
}

void PanelTest::SetValue(OSType signature, SInt32 number, SInt32 value) {
  SetControl32BitValue(Control(signature, number), value);
}

std::filesystem::path PanelTest::PreferencesPath() const { return home_->config() / "orvane" / "preferences.json"; }

void PanelTest::WritePreferences(const std::string& json) { WriteFile(PreferencesPath(), json); }
