// The progress sheet: what it shows while work runs and once it is over, its
// button, and closing it.
#include <QPointer>
#include <QProgressDialog>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include "platform/toolkit/toolkit.h"

namespace {

TEST(ProgressSheet, ShowsTheWorkAndCallsItsHandlerForTheButton) {
  QWidget parent;
  ProgressSheetOptions options;
  options.name = "SheetUnderTest";
  options.title = QStringLiteral("Working");
  options.text = QStringLiteral("Starting…");
  options.buttonTitle = QStringLiteral("Cancel");
  options.parent = &parent;
  int presses = 0;
  WindowRef sheet = nullptr;
  ASSERT_EQ(CreateProgressSheet(options, [&](WindowRef pressed) { presses += pressed == sheet ? 1 : 100; }, &sheet), noErr);
  auto* dialog = qobject_cast<QProgressDialog*>(sheet);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->objectName(), QStringLiteral("SheetUnderTest"));
  EXPECT_EQ(dialog->parentWidget(), &parent);
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Working"));
  EXPECT_EQ(dialog->labelText(), QStringLiteral("Starting…"));
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->maximum(), 0);  // work of unknown length

  EXPECT_EQ(ShowProgressSheet(sheet), noErr);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(SetProgressSheetText(sheet, QStringLiteral("3 done")), noErr);
  EXPECT_EQ(dialog->labelText(), QStringLiteral("3 done"));
  emit dialog->canceled();  // what the button sends
  EXPECT_EQ(presses, 1);

  EXPECT_EQ(SetProgressSheetFinished(sheet), noErr);
  EXPECT_EQ(SetProgressSheetButtonTitle(sheet, QStringLiteral("Close")), noErr);
  EXPECT_EQ(dialog->maximum(), 1);
  EXPECT_EQ(dialog->value(), 1);

  QPointer<QProgressDialog> watched = dialog;
  EXPECT_EQ(CloseProgressSheet(sheet), noErr);
  EXPECT_TRUE(QTest::qWaitFor([&] { return watched.isNull(); }, 60000));  // closing disposes of it
}

TEST(ProgressSheet, OnlySheetsAreTaken) {
  QWidget other;
  EXPECT_EQ(SetProgressSheetText(&other, QStringLiteral("x")), paramErr);
  EXPECT_EQ(SetProgressSheetFinished(nullptr), paramErr);
  EXPECT_EQ(CloseProgressSheet(&other), paramErr);
  EXPECT_EQ(CreateProgressSheet({}, nullptr, nullptr), paramErr);
}

}  // namespace
