// SetOptions copies the record into the controls, and only that way round.
#include "tests/support/panel_fixture.h"

namespace {

class SetOptionsTest : public PanelTest {
 protected:
  void SetUp() override {
    PanelTest::SetUp();
    Start();
  }
};

TEST_F(SetOptionsTest, AnEmptyRecordEmptiesFieldsAndChecksButLeavesPopups) {
  for (SInt32 i = 0; i < kFieldCount; ++i) SetText(kTextSignature, i, QStringLiteral("typed"));
  for (SInt32 i = 0; i < kCheckCount; ++i) SetValue(kCheckSignature, i, 1);
  SetValue(kMenuSignature, 0, 2);
  SetValue(kMenuSignature, 3, 1);

  SetOptions();
  for (SInt32 i = 0; i < kFieldCount; ++i) EXPECT_EQ(Text(kTextSignature, i), "") << "TEXT " << i;
  for (SInt32 i = 0; i < kCheckCount; ++i) EXPECT_EQ(Value(kCheckSignature, i), 0) << "CHEC " << i;
  EXPECT_EQ(Value(kMenuSignature, 0), 2);
  EXPECT_EQ(Value(kMenuSignature, 3), 1);
}

TEST_F(SetOptionsTest, CheckBoxesFollowTheirBits) {
  sInfo->checkFlags = 5;
  SetOptions();
  EXPECT_EQ(Value(kCheckSignature, 0), 1);
  EXPECT_EQ(Value(kCheckSignature, 1), 0);
  EXPECT_EQ(Value(kCheckSignature, 2), 1);
  sInfo->checkFlags = 2;
  SetOptions();
  EXPECT_EQ(Value(kCheckSignature, 0), 0);
  EXPECT_EQ(Value(kCheckSignature, 1), 1);
  EXPECT_EQ(Value(kCheckSignature, 2), 0);
}

TEST_F(SetOptionsTest, NoTextAndAnEmptyTextBothShowAnEmptyField) {
  SetText(kTextSignature, 1, QStringLiteral("C6H6"));
  SetText(kTextSignature, 2, QStringLiteral("c1ccccc1"));
  sInfo->fieldText[1].reset();
  sInfo->fieldText[2] = QString();
  sInfo->fieldText[3] = QStringLiteral("  ");
  SetOptions();
  EXPECT_EQ(Text(kTextSignature, 1), "");
  EXPECT_EQ(Text(kTextSignature, 2), "");
  EXPECT_EQ(Text(kTextSignature, 3), "  ");
}

TEST_F(SetOptionsTest, PopupValuesOtherThanZeroAreHandedOverAndPinned) {
  sInfo->menuValue[0] = 2;
  sInfo->menuValue[1] = -3;  // pinned to the first item
  sInfo->menuValue[2] = 99;  // pinned to the last item
  SetOptions();
  EXPECT_EQ(Value(kMenuSignature, 0), 2);
  EXPECT_EQ(Value(kMenuSignature, 1), 1);
  EXPECT_EQ(Value(kMenuSignature, 2), 4);
  EXPECT_EQ(Value(kMenuSignature, 3), 4);  // 0: unchanged
}

TEST_F(SetOptionsTest, TheRecordIsNeverChanged) {
  sInfo->menuValue[1] = -3;
  sInfo->fieldText[4] = QStringLiteral("200");
  SetOptions();
  EXPECT_EQ(sInfo->menuValue[1], -3);
  EXPECT_EQ(sInfo->fieldText[4], QStringLiteral("200"));
  EXPECT_FALSE(sInfo->fieldText[5].has_value());
}

}  // namespace
