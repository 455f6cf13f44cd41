// The status line at the bottom of the panel: it counts the documents, says
// whether a watcher keeps the index current, follows the index while the
// panel is open, and offers to start the watcher service when none runs.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProgressDialog>
#include <QPushButton>
#include <QTest>

#include "commands/add_folder.h"
#include "commands/index_status.h"
#include "tests/support/panel_fixture.h"

namespace fs = std::filesystem;

namespace {

const fs::path kSpectrum = fs::path(ORVANE_TESTDATA_DIR) / "jcamp" / "aspirin-1h.dx";

class IndexStatusTest : public PanelTest {
 protected:
  void SetUp() override {
    PanelTest::SetUp();
    runtime_ = home_->root() / "run";
    fs::create_directories(runtime_);
    fs::permissions(runtime_, fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    Start();
  }
  void TearDown() override {
    if (watcher_ > 0) {
      kill(watcher_, SIGTERM);
      waitpid(watcher_, nullptr, 0);
    }
    unsetenv("XDG_RUNTIME_DIR");
    PanelTest::TearDown();
  }
  QString Line() const { return Text(kIndexStatusSignature, kIndexStatusNumber); }
  bool ButtonShown() const { return IsControlVisible(Control(kStartWatcherSignature, 0)); }
  bool LineSays(const QString& part) {
    return QTest::qWaitFor([&] { return Line().contains(part); }, 120000);
  }
  void StartWatcher(const fs::path& folder) {
    const std::string program = std::string(ORVANE_BIN_DIR) + "/orvane-index";
    watcher_ = fork();
    if (watcher_ == 0) {
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0), dup2(null, 1), dup2(null, 2);
      execl(program.c_str(), "orvane-index", "--watch", "--quiet-period", "200", folder.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }

  fs::path runtime_;
  pid_t watcher_ = -1;
};

TEST_F(IndexStatusTest, FollowsTheIndexAndTheWatcher) {
  EXPECT_TRUE(Line().startsWith("No index yet")) << Line().toStdString();
  EXPECT_TRUE(Line().contains("no watcher runs"));
  EXPECT_TRUE(ButtonShown()) << "the panel offers to start the watcher";

  const fs::path folder = home_->root() / "spectra";
  fs::create_directories(folder);
  fs::copy_file(kSpectrum, folder / "first.dx");
  QWidget* dialog = StartIndexing(QString::fromStdString(folder.string()), window_);
  ASSERT_TRUE(LineSays("1 documents, changed just now")) << Line().toStdString();
  dialog->close();

  StartWatcher(folder);
  ASSERT_TRUE(LineSays("kept current by the watcher")) << Line().toStdString();
  EXPECT_FALSE(ButtonShown());
  fs::copy_file(kSpectrum, folder / "second.dx");
  EXPECT_TRUE(LineSays("2 documents")) << Line().toStdString();

  // "Add Folder to Index…" hands the folder to the watcher rather than write beside it.
  const fs::path more = home_->root() / "more spectra";
  fs::create_directories(more);
  fs::copy_file(kSpectrum, more / "third.dx");
  QWidget* handed = StartIndexing(QString::fromStdString(more.string()), window_);
  auto* progress = qobject_cast<QProgressDialog*>(handed);
  ASSERT_TRUE(QTest::qWaitFor([&] { return progress->maximum() == 1; }, 60000));
  EXPECT_TRUE(progress->labelText().startsWith("The watcher")) << progress->labelText().toStdString();
  handed->close();
  EXPECT_TRUE(LineSays("3 documents")) << Line().toStdString();

  kill(watcher_, SIGTERM);
  waitpid(watcher_, nullptr, 0);
  watcher_ = -1;
  EXPECT_TRUE(LineSays("no watcher runs")) << Line().toStdString();
  EXPECT_TRUE(ButtonShown());
}

TEST_F(IndexStatusTest, TheButtonEnablesTheWatcherService) {
  const fs::path bin = home_->root() / "bin", record = home_->root() / "record";
  fs::create_directories(bin);
  fs::copy_file(std::string(ORVANE_BIN_DIR) + "/record_arguments", bin / "systemctl");
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
  setenv("ORVANE_RECORD_FILE", record.c_str(), 1);
  QTest::mouseClick(qobject_cast<QPushButton*>(Control(kStartWatcherSignature, 0)), Qt::LeftButton);
  const bool recorded = QTest::qWaitFor([&] { return !ReadFile(record).empty(); }, 60000);
  setenv("PATH", path.c_str(), 1);
  unsetenv("ORVANE_RECORD_FILE");
  ASSERT_TRUE(recorded);
  using namespace std::string_literals;
  EXPECT_EQ(ReadFile(record), "--user\0enable\0--now\0orvane-index.service\0\0"s);
}

}  // namespace
