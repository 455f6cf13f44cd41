// The toolkit layer on the real panel description, without the panel's code:
// command dispatch, the close event, the data browser, cursors, descriptions.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <gtest/gtest.h>

#include <vector>

#include "platform/toolkit/toolkit.h"
#include "tests/support/recording_opener.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;

namespace {

std::vector<UInt32> gCommands;
OSStatus gCommandStatus = noErr;
int gCloseEvents = 0;
OSStatus gCloseStatus = eventNotHandledErr;

OSStatus RecordCommand(EventHandlerCallRef, EventRef event, WindowRef) {
  HICommand command;
  if (GetEventParameter(event, &command) != noErr) return paramErr;
  gCommands.push_back(command.commandID);
  return gCommandStatus;
}

OSStatus RecordClose(EventHandlerCallRef, EventRef, WindowRef) {
  ++gCloseEvents;
  return gCloseStatus;
}

std::vector<std::pair<DataBrowserItemID, DataBrowserItemNotification>> gNotifications;
std::vector<DataBrowserItemID> gAskedRows;

OSStatus RowText(ControlRef, DataBrowserItemID item, DataBrowserPropertyID property, DataBrowserItemDataRef data,
                 bool) {
  if (property != FourCC("PATH")) return errDataBrowserPropertyNotSupported;
  gAskedRows.push_back(item);
  return SetDataBrowserItemDataText(data, QStringLiteral("/row/%1").arg(item));
}

void RecordNotification(ControlRef, DataBrowserItemID item, DataBrowserItemNotification message) {
  gNotifications.emplace_back(item, message);
}

class ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetResourceFolders({ORVANE_SHARE_DIR});
    IBNibRef nib;
    ASSERT_EQ(CreateNibReference("orvane", nib), noErr);
    ASSERT_EQ(CreateWindowFromNib(*nib, "Panel", &window_), noErr);
    gCommands.clear();
    gCommandStatus = noErr;
    gCloseEvents = 0;
    gNotifications.clear();
    gAskedRows.clear();
    InstallEventHandler(GetWindowEventTarget(window_), RecordCommand, {kEventClassCommand, kEventCommandProcess},
                        window_);
    InstallEventHandler(GetWindowEventTarget(window_), RecordClose, {kEventClassWindow, kEventWindowClose}, window_);
  }
  void TearDown() override {
    SetThemeCursor(kThemeArrowCursor);
    DisposeWindow(window_);
  }
  ControlRef Control(const char (&signature)[5], SInt32 number) {
    ControlRef control = nullptr;
    GetControlByID(window_, {FourCC(signature), number}, &control);
    return control;
  }
  WindowRef window_ = nullptr;
};

TEST_F(ToolkitTest, AControlThatIsNotThereIsReportedAndNull) {
  ControlRef control = window_;
  EXPECT_EQ(GetControlByID(window_, {FourCC("TEXT"), 42}, &control), errUnknownControl);
  EXPECT_EQ(control, nullptr);
  EXPECT_EQ(GetControlByID(window_, {FourCC("NOPE"), 0}, &control), errUnknownControl);
  std::optional<QString> text = QStringLiteral("stale");
  EXPECT_NE(GetControlData(nullptr, kControlEntireControl, kControlEditTextCFStringTag, text), noErr);
  EXPECT_FALSE(text.has_value());
}

TEST_F(ToolkitTest, ButtonsSendTheirCommandToTheWindowsHandler) {
  window_->show();
  for (auto* button : window_->findChildren<QPushButton*>()) {
    button->setEnabled(true);
    QTest::mouseClick(button, Qt::LeftButton);
  }
  std::vector<UInt32> expected = {FourCC("ok  "), FourCC("SinR"), FourCC("LaQu"), FourCC("CALL"), FourCC("HELP"), FourCC("WATC")};
  std::sort(expected.begin(), expected.end());
  std::sort(gCommands.begin(), gCommands.end());
  EXPECT_EQ(gCommands, expected);
}

TEST_F(ToolkitTest, ReturnInAFieldSendsTheWindowsDefaultCommand) {
  window_->show();
  auto* field = qobject_cast<QLineEdit*>(Control("TEXT", 1));
  ASSERT_NE(field, nullptr);
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(gCommands, std::vector<UInt32>{FourCC("ok  ")});
}

TEST_F(ToolkitTest, APopupSendsItsCommandAfterTakingItsNewValue) {
  ControlRef scope = Control("MENU", 2);
  SInt32 valueSeen = -1;
  gCommandStatus = noErr;
  QObject::connect(qobject_cast<QComboBox*>(scope), &QComboBox::activated, window_,
                   [&] { valueSeen = GetControl32BitValue(scope); });
  auto* popup = qobject_cast<QComboBox*>(scope);
  popup->setCurrentIndex(3);
  emit popup->activated(3);
  EXPECT_EQ(valueSeen, 4);
  EXPECT_EQ(gCommands, std::vector<UInt32>{FourCC("FOLD")});
}

TEST_F(ToolkitTest, AnUnhandledCommandFallsThroughToTheDefault) {
  gCommandStatus = eventNotHandledErr;
  EXPECT_EQ(ProcessHICommand(window_, FourCC("zzzz")), eventNotHandledErr);
  UInt32 seen = 0;
  SetApplicationCommandHandler([&](UInt32 code) {
    seen = code;
    return noErr;
  });
  EXPECT_EQ(ProcessHICommand(window_, FourCC("zzzz")), noErr);
  EXPECT_EQ(seen, FourCC("zzzz"));
  SetApplicationCommandHandler(nullptr);
  gCommandStatus = noErr;
  EXPECT_EQ(ProcessHICommand(window_, FourCC("zzzz")), noErr);  // consumed by the window
}

TEST_F(ToolkitTest, TheEditCommandsActOnTheFocusedField) {
  window_->show();
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_));
  auto* field = qobject_cast<QLineEdit*>(Control("TEXT", 0));
  auto* other = qobject_cast<QLineEdit*>(Control("TEXT", 1));
  ASSERT_NE(field, nullptr);
  ASSERT_NE(other, nullptr);
  field->setText(QStringLiteral("benzene"));
  other->setText(QStringLiteral("toluene"));
  field->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), field);
  field->deselect();

  gCommandStatus = eventNotHandledErr;  // the window leaves the command to the default handling
  EXPECT_EQ(ProcessHICommand(window_, kHICommandSelectAll), noErr);
  EXPECT_EQ(field->selectedText(), "benzene");
  EXPECT_FALSE(other->hasSelectedText());  // only the focused field

  other->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), other);
  EXPECT_EQ(ProcessHICommand(window_, kHICommandSelectAll), noErr);
  EXPECT_EQ(other->selectedText(), "toluene");
}

TEST_F(ToolkitTest, AConsumedCloseKeepsTheWindowAndAnUnhandledOneClosesIt) {
  window_->show();
  gCloseStatus = noErr;
  window_->close();
  EXPECT_EQ(gCloseEvents, 1);
  EXPECT_TRUE(window_->isVisible());
  gCloseStatus = eventNotHandledErr;
  window_->close();
  EXPECT_EQ(gCloseEvents, 2);
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(ToolkitTest, TheDataBrowserAsksForCellsByRowAndReportsSelection) {
  ControlRef browser = Control("BROW", 0);
  DataBrowserCallbacks callbacks;
  ASSERT_EQ(InitDataBrowserCallbacks(&callbacks), noErr);
  callbacks.itemDataCallback = RowText;
  callbacks.itemNotificationCallback = RecordNotification;
  SetDataBrowserCallbacks(browser, &callbacks);
  AddDataBrowserItems(browser, 3);
  EXPECT_EQ(GetDataBrowserItemCount(browser), 3u);
  EXPECT_TRUE(gAskedRows.empty()) << "rows are asked for only when drawn";
  EXPECT_EQ(CopyDataBrowserCellText(browser, 2, FourCC("PATH")), QStringLiteral("/row/2"));
  EXPECT_FALSE(CopyDataBrowserCellText(browser, 2, FourCC("NAME")).has_value());
  EXPECT_FALSE(CopyDataBrowserCellText(browser, 4, FourCC("PATH")).has_value());

  auto* view = qobject_cast<QTreeView*>(browser);
  view->setCurrentIndex(view->model()->index(1, 0));
  view->setCurrentIndex(view->model()->index(2, 0));
  const std::vector<std::pair<DataBrowserItemID, DataBrowserItemNotification>> expected = {
      {2, kDataBrowserItemSelected}, {2, kDataBrowserItemDeselected}, {3, kDataBrowserItemSelected}};
  EXPECT_EQ(gNotifications, expected);

  gNotifications.clear();
  window_->show();
  view->setFocus();
  QTest::keyClick(view, Qt::Key_Return);
  EXPECT_EQ(gNotifications, (std::vector<std::pair<DataBrowserItemID, DataBrowserItemNotification>>{
                                {3, kDataBrowserItemDoubleClicked}}));

  RemoveDataBrowserItems(browser);
  EXPECT_EQ(GetDataBrowserItemCount(browser), 0u);
  EXPECT_NE(RevealDataBrowserItem(browser, 1), noErr);
}

TEST_F(ToolkitTest, TheArrowClearsEveryWatch) {
  SetThemeCursor(kThemeWatchCursor);
  SetThemeCursor(kThemeWatchCursor);
  EXPECT_EQ(GetThemeCursor(), kThemeWatchCursor);
  SetThemeCursor(kThemeArrowCursor);
  EXPECT_EQ(GetThemeCursor(), kThemeArrowCursor);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(ToolkitTest, PopupItemsAreNumberedFromOne) {
  MenuRef menu = GetControlPopupMenuHandle(Control("MENU", 3));
  std::optional<QString> text;
  EXPECT_EQ(CopyMenuItemTextAsCFString(menu, 4, text), noErr);
  EXPECT_EQ(text, QStringLiteral("any"));
  EXPECT_NE(CopyMenuItemTextAsCFString(menu, 0, text), noErr);
  EXPECT_FALSE(text.has_value());
  EXPECT_NE(CopyMenuItemTextAsCFString(menu, 5, text), noErr);
}

TEST(HelpTest, APageIsOpenedByAUrlThatDecodesToItsExactPath) {
  TempHome home;
  RecordingOpener opener(home.root());
  const std::string book = "Orvane Help %41";  // a blank, and what would decode to "A"
  const fs::path page = home.root() / "share" / "help" / book / "pgs" / "metadata.html";
  WriteFile(page, "<html><body>Metadata</body></html>");
  SetResourceFolders({home.root() / "share"});
  const OSStatus status = AHGotoPage(QString::fromStdString(book), QStringLiteral("pgs/metadata.html"), QStringLiteral("nuclei"));
  SetResourceFolders({ORVANE_SHARE_DIR});
  ASSERT_EQ(status, noErr);

  ASSERT_EQ(opener.Calls().size(), 1u);
  ASSERT_EQ(opener.Calls()[0].size(), 1u);
  const std::string opened = opener.Calls()[0][0];
  EXPECT_EQ(opened.find(' '), std::string::npos) << opened;
  const QUrl url(QString::fromStdString(opened), QUrl::StrictMode);
  ASSERT_TRUE(url.isValid()) << opened << ": " << url.errorString().toStdString();
  EXPECT_TRUE(url.isLocalFile()) << opened;
  EXPECT_EQ(url.toLocalFile().toStdString(), page.string());
  EXPECT_EQ(url.fragment().toStdString(), "nuclei");
}

TEST(NibTest, MissingDamagedAndMisnamedDescriptionsFailWithAStatus) {
  TempHome home;
  SetResourceFolders({home.root()});
  IBNibRef nib;
  EXPECT_EQ(CreateNibReference("orvane", nib), kIBCarbonRuntimeCantFindNibFile);
  EXPECT_EQ(nib, nullptr);

  WriteFile(home.root() / "orvane.ui", "\x89PNG this is not an interface description");
  ASSERT_EQ(CreateNibReference("orvane", nib), noErr);
  WindowRef window = nullptr;
  EXPECT_NE(CreateWindowFromNib(*nib, "Panel", &window), noErr);
  EXPECT_EQ(window, nullptr);
  EXPECT_NE(SetMenuBarFromNib(*nib, "MenuBar"), noErr);

  fs::copy_file(fs::path(ORVANE_SHARE_DIR) / "orvane.ui", home.root() / "orvane.ui",
                fs::copy_options::overwrite_existing);
  ASSERT_EQ(CreateNibReference("orvane", nib), noErr);
  EXPECT_EQ(CreateWindowFromNib(*nib, "Elsewhere", &window), kIBCarbonRuntimeCantFindObject);
  SetResourceFolders({ORVANE_SHARE_DIR});
}

}  // namespace
