// Programs run in the background: their standard error comes line by line
// from the event loop, their end once, and nothing after their window goes.
#include <QPointer>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/toolkit/toolkit.h"

namespace {

// A fixed script: what it is given arrives as "$1", never as script text.
const std::string kShell = "/bin/sh";
const char* const kTwoLinesAndAPart = "printf 'one\\ntwo %s\\npartial' \"$1\" >&2; exit 3";

class BackgroundProcessTest : public ::testing::Test {
 protected:
  void TearDown() override { delete owner_.data(); }

  BackgroundProcessRef Start(const std::string& program, const std::vector<std::string>& arguments) {
    BackgroundProcessCallbacks callbacks;
    callbacks.errorLine = [this](const std::string& line) { lines_.push_back(line); };
    callbacks.ended = [this](const BackgroundProcessEnd& end) {
      ++ends_;
      end_ = end;
    };
    BackgroundProcessRef process = nullptr;
    EXPECT_EQ(StartBackgroundProcess(program, arguments, owner_, std::move(callbacks), &process), noErr);
    return process;
  }
  bool WaitForEnd() { return QTest::qWaitFor([this] { return end_.has_value(); }, 60000); }

  QPointer<QWidget> owner_ = new QWidget;
  std::vector<std::string> lines_;
  std::optional<BackgroundProcessEnd> end_;
  int ends_ = 0;
};

TEST_F(BackgroundProcessTest, WholeLinesComeAndThenTheEnd) {
  BackgroundProcessRef process = Start(kShell, {"-c", kTwoLinesAndAPart, "sh", "with blanks; $HOME `x`"});
  ASSERT_TRUE(WaitForEnd());
  EXPECT_EQ(lines_, (std::vector<std::string>{"one", "two with blanks; $HOME `x`"}));  // no newline after "partial"
  EXPECT_TRUE(end_->started);
  EXPECT_FALSE(end_->crashed);
  EXPECT_EQ(end_->exitStatus, 3);
  EXPECT_EQ(ends_, 1);
  EXPECT_FALSE(IsBackgroundProcessRunning(process));
}

TEST_F(BackgroundProcessTest, AProgramThatCannotStartEndsAtOnce) {
  Start("/nonexistent/orvane-program", {});
  ASSERT_TRUE(WaitForEnd());
  EXPECT_FALSE(end_->started);
  EXPECT_TRUE(lines_.empty());
}

TEST_F(BackgroundProcessTest, ATerminatedProgramEndsBySignal) {
  BackgroundProcessRef process = Start(kShell, {"-c", "echo ready >&2; exec sleep 600"});
  ASSERT_TRUE(QTest::qWaitFor([this] { return !lines_.empty(); }, 60000));
  EXPECT_TRUE(IsBackgroundProcessRunning(process));
  EXPECT_EQ(TerminateBackgroundProcess(process), noErr);
  ASSERT_TRUE(WaitForEnd());
  EXPECT_TRUE(end_->crashed);
  EXPECT_EQ(lines_, (std::vector<std::string>{"ready"}));
}

TEST_F(BackgroundProcessTest, NothingComesAfterItsWindowIsGone) {
  Start(kShell, {"-c", "echo ready >&2; exec sleep 600"});
  ASSERT_TRUE(QTest::qWaitFor([this] { return !lines_.empty(); }, 60000));
  DisposeWindow(owner_);  // kills the program with it
  QTest::qWait(0);
  EXPECT_EQ(ends_, 0);
}

TEST_F(BackgroundProcessTest, ArgumentsAreChecked) {
  BackgroundProcessRef process = nullptr;
  EXPECT_EQ(StartBackgroundProcess(kShell, {}, nullptr, {}, &process), paramErr);
  EXPECT_EQ(StartBackgroundProcess("", {}, owner_, {}, &process), paramErr);
  EXPECT_EQ(TerminateBackgroundProcess(nullptr), paramErr);
  EXPECT_FALSE(IsBackgroundProcessRunning(nullptr));
}

}  // namespace
