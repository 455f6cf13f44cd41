// The panel window as the interface description gives it: every control of the
// map, of its kind, reachable by assistive technology, carrying its command.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTreeView>

#include "tests/support/panel_fixture.h"

namespace {

class PanelWindowTest : public PanelTest {
 protected:
  void SetUp() override {
    PanelTest::SetUp();
    Start();
  }
  QString Command(QObject* object) { return object->property("command").toString(); }
};

template <typename Kind>
void ExpectControl(ControlRef control, const char* identifier, bool needsName) {
  ASSERT_NE(control, nullptr) << identifier;
  EXPECT_NE(qobject_cast<Kind*>(control), nullptr) << identifier << " is a " << control->metaObject()->className();
  EXPECT_EQ(control->accessibleDescription(), identifier);
  if (needsName) {
    EXPECT_FALSE(control->accessibleName().isEmpty()) << identifier;
  }
}

TEST_F(PanelWindowTest, EveryControlOfTheMapIsThereWithItsKindAndNames) {
  EXPECT_EQ(window_->windowTitle(), "Orvane");
  EXPECT_EQ(window_->objectName(), "Panel");
  for (SInt32 i = 0; i < kFieldCount; ++i)
    ExpectControl<QLineEdit>(Control(kTextSignature, i), qPrintable(QStringLiteral("TEXT %1").arg(i)), true);
  for (SInt32 i = 0; i < kCheckCount; ++i)
    ExpectControl<QCheckBox>(Control(kCheckSignature, i), qPrintable(QStringLiteral("CHEC %1").arg(i)), true);
  for (SInt32 i : {0, 1, 2, 3, 7})
    ExpectControl<QComboBox>(Control(kMenuSignature, i), qPrintable(QStringLiteral("MENU %1").arg(i)), true);
  ExpectControl<QLabel>(Control(kDisplaySignature, 0), "DISP 0", false);
  ExpectControl<QLabel>(Control(kDisplaySignature, 1), "DISP 1", false);
  ExpectControl<QTreeView>(Control(kBrowserSignature, 0), "BROW 0", true);
  ExpectControl<QPushButton>(Control(kLastQuerySignature, 0), "LaQu 0", true);
  EXPECT_EQ(sInfo->summaryText, Control(kDisplaySignature, 0));
  EXPECT_EQ(sInfo->statusText, Control(kDisplaySignature, 1));
  EXPECT_EQ(sInfo->resultBrowser, Control(kBrowserSignature, 0));
  EXPECT_EQ(sInfo->lastQueryButton, Control(kLastQuerySignature, 0));
}

TEST_F(PanelWindowTest, PopupsOfferTheirItems) {
  EXPECT_EQ(GetControlPopupMenuHandle(Control(kMenuSignature, 0))->count(), 3);
  EXPECT_EQ(GetControlPopupMenuHandle(Control(kMenuSignature, 2))->count(), 4);
  MenuRef dimensions = GetControlPopupMenuHandle(Control(kMenuSignature, 3));
  ASSERT_EQ(dimensions->count(), 4);
  EXPECT_EQ(dimensions->itemText(3), "any");

  MenuRef tolerances = GetControlPopupMenuHandle(Control(kMenuSignature, 1));
  ASSERT_GT(tolerances->count(), 3);
  for (int i = 0; i < tolerances->count(); ++i) {
    bool isNumber = false;
    tolerances->itemText(i).toDouble(&isNumber);
    EXPECT_TRUE(isNumber) << tolerances->itemText(i).toStdString();
  }
  MenuRef nuclei = GetControlPopupMenuHandle(Control(kMenuSignature, 7));
  EXPECT_GE(nuclei->findText(QStringLiteral("1H")), 0);
  EXPECT_GE(nuclei->findText(QStringLiteral("13C")), 0);
  EXPECT_GE(nuclei->findText(QStringLiteral("195Pt")), 0);
}

TEST_F(PanelWindowTest, ButtonsAndPopupsCarryThePanelsCommands) {
  QStringList buttonCommands;
  for (auto* button : window_->findChildren<QPushButton*>()) buttonCommands << Command(button);
  for (const char* code : {"ok  ", "SinR", "LaQu", "CALL", "HELP"})
    EXPECT_TRUE(buttonCommands.contains(code)) << code;
  EXPECT_EQ(Command(Control(kLastQuerySignature, 0)), "LaQu");
  EXPECT_EQ(Command(Control(kMenuSignature, 2)), "FOLD");
  EXPECT_EQ(Command(Control(kMenuSignature, 7)), "NUCL");
  EXPECT_EQ(window_->property("defaultCommand").toString(), "ok  ");
}

TEST_F(PanelWindowTest, TheMenuBarIsAttachedAndCarriesTheSearchCommands) {
  Stop();
  StartWithMenuBar();
  auto* menuBar = window_->findChild<QMenuBar*>(QStringLiteral("MenuBar"));
  ASSERT_NE(menuBar, nullptr);
  QStringList commands;
  for (QAction* action : menuBar->findChildren<QAction*>()) commands << Command(action);
  for (const char* code : {"quit", "abou", "copy", "past", "ok  ", "SinR", "LaQu", "CALL", "HELP"})
    EXPECT_TRUE(commands.contains(code)) << code;
}

TEST_F(PanelWindowTest, StaticTextsShowCarriageReturnsAsLineBreaksAndReadBackAsWritten) {
  const QString written = QStringLiteral("TOO MANY RESULTS:\ryou can search inside this set");
  SetText(kDisplaySignature, 0, written);
  EXPECT_EQ(Text(kDisplaySignature, 0), written);
  auto* label = qobject_cast<QLabel*>(Control(kDisplaySignature, 0));
  EXPECT_EQ(label->text(), "TOO MANY RESULTS:\nyou can search inside this set");
  EXPECT_EQ(label->accessibleName(), label->text());
}

}  // namespace
