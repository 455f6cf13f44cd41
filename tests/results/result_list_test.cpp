// The result list: each row's path when drawn, the summary on selection, and
// opening a hit with its exact path.
#include "results/result_list.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QHeaderView>
#include <QProcess>
#include <QTest>
#include <QTreeView>

#include "query/collect.h"
#include "results/display_attributes.h"
#include "tests/support/recording_opener.h"
#include "tests/support/search_fixture.h"

using namespace metadata;

namespace {

class ResultListTest : public SearchPanelTest {
 protected:
  void SetUp() override {
    SearchPanelTest::SetUp();
    std::vector<DocumentRecord> records;
    for (const std::string& path : kOddPaths) {
      DocumentRecord record;
      record.path = path;
      record.attributes["Tormalin_nD"] = 1.0;
      record.attributes["kMDItemTitle"] = "title of " + path;
      records.push_back(record);
    }
    DocumentRecord bare;
    bare.path = "/d/zzz-bare.jdx";
    bare.attributes["Tormalin_nD"] = 1.0;
    records.push_back(bare);
    IndexRecords(records);
    SetValue(kMenuSignature, 3, 1);
    Collect(false);
  }
  const std::vector<std::string> kOddPaths = {"/d/a plain name.jdx", "/d/b \"quoted\" 'name'.jdx", "/d/c new\nline.jdx",
                                              "/d/-d leading dash", std::string("/d/e caf\xe9.jdx")};
};

TEST_F(ResultListTest, RowsShowThePathsOfTheResultsInOrder) {
  ASSERT_EQ(Rows(), 6u);
  EXPECT_EQ(RowPath(1), "/d/-d leading dash");
  EXPECT_EQ(RowPath(2), "/d/a plain name.jdx");
  EXPECT_EQ(RowPath(6), "/d/zzz-bare.jdx");
  DataBrowserItemData cell;
  EXPECT_EQ(MyItemDataCallback(sInfo->resultBrowser, 2, FourCC("XXXX"), &cell, false), errDataBrowserPropertyNotSupported);
  EXPECT_EQ(MyItemDataCallback(sInfo->resultBrowser, 2, kDataBrowserItemIsContainerProperty, &cell, false),
            errDataBrowserPropertyNotSupported);
  EXPECT_FALSE(cell.textSet);
}

TEST_F(ResultListTest, SelectingARowShowsItsSummary) {
  MyNotificationCallback(sInfo->resultBrowser, 3, kDataBrowserItemSelected);
  EXPECT_EQ(Summary(), "title of /d/b \"quoted\" 'name'.jdx\r\rno. of dimensions: 1");
  MyNotificationCallback(sInfo->resultBrowser, 6, kDataBrowserItemSelected);
  EXPECT_EQ(Summary(), "no. of dimensions: 1");
  for (DataBrowserItemNotification other : {kDataBrowserItemAdded, kDataBrowserItemRemoved, kDataBrowserItemDeselected})
    MyNotificationCallback(sInfo->resultBrowser, 1, other);
  MyNotificationCallback(sInfo->resultBrowser, 99, kDataBrowserItemSelected);
  EXPECT_EQ(Summary(), "no. of dimensions: 1");
}

TEST_F(ResultListTest, DoubleClickingOpensTheExactPath) {
  RecordingOpener opener(home_->root());
  for (DataBrowserItemID row = 1; row <= 5; ++row) MyNotificationCallback(sInfo->resultBrowser, row, kDataBrowserItemDoubleClicked);
  const auto calls = opener.Calls();
  ASSERT_EQ(calls.size(), 5u);
  std::vector<std::string> sorted = kOddPaths;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i], std::vector<std::string>{sorted[i]});
  MyNotificationCallback(sInfo->resultBrowser, 42, kDataBrowserItemDoubleClicked);
  EXPECT_EQ(opener.Calls().size(), 5u);
}

// Three documents that each column puts in another order.
class SortedListTest : public SearchPanelTest {
 protected:
  void SetUp() override {
    SearchPanelTest::SetUp();
    IndexRecords({Spectrum("/d/1-hsqc.jdx", "zeta", 2, {"1H", "13C"}, 300), Molecule("/d/2-one.mol", "alpha", {"C6H6"}, 100),
                  Molecule("/d/3-many.sdf", "mid", {"H2O", "CH4"}, 200)});
    Search();
  }
  // Every document carries the title "doc"; any number of dimensions.
  void Search() {
    SetText(kTextSignature, 0, QStringLiteral("doc"));
    SetValue(kMenuSignature, 3, 4);
    Collect(false);
  }
  static DocumentRecord Spectrum(const std::string& path, const std::string& name, double dimensions,
                                 StringArray nuclei, double day) {
    DocumentRecord record = Named(path, name, day);
    record.attributes[attributes::kDimensions] = dimensions;
    record.attributes[attributes::kNucleus] = nuclei;
    return record;
  }
  static DocumentRecord Molecule(const std::string& path, const std::string& name, StringArray formulas, double day) {
    DocumentRecord record = Named(path, name, day);
    record.attributes[attributes::kFormula] = formulas;
    record.attributes[attributes::kDisplayFormula] = formulas;
    return record;
  }
  static DocumentRecord Named(const std::string& path, const std::string& name, double day) {
    DocumentRecord record;
    record.path = path;
    record.attributes[attributes::kDisplayName] = name;
    record.attributes[attributes::kTitle] = "doc";
    record.attributes[attributes::kCreationDate] = DateFromUnixSeconds(day * 86400);
    return record;
  }
  std::vector<QString> Paths() const {
    std::vector<QString> paths;
    for (DataBrowserItemID row = 1; row <= Rows(); ++row) paths.push_back(RowPath(row));
    return paths;
  }
  QString Cell(DataBrowserItemID row, DataBrowserPropertyID property) const {
    return CopyDataBrowserCellText(sInfo->resultBrowser, row, property).value_or(QStringLiteral("<none>"));
  }
  void SortBy(DataBrowserPropertyID property, DataBrowserSortOrder order) {
    SetDataBrowserSortProperty(sInfo->resultBrowser, property);
    SetDataBrowserSortOrder(sInfo->resultBrowser, order);
  }
  void ClickHeader(int section) {
    QHeaderView* header = qobject_cast<QTreeView*>(sInfo->resultBrowser)->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(section) + 4, header->height() / 2));
  }
  const QString hsqc = QStringLiteral("/d/1-hsqc.jdx"), one = QStringLiteral("/d/2-one.mol"),
                many = QStringLiteral("/d/3-many.sdf");
};

TEST_F(SortedListTest, CellsShowNameKindFormulaNucleusAndDate) {
  ASSERT_EQ(Paths(), (std::vector<QString>{hsqc, one, many}));
  EXPECT_EQ(Cell(1, kNameProperty), "zeta");
  EXPECT_EQ(Cell(1, kKindProperty), QStringLiteral("2D 1H\u201313C"));
  EXPECT_EQ(Cell(2, kKindProperty), "molecule");
  EXPECT_EQ(Cell(3, kKindProperty), "SD file, 2 records");
  EXPECT_EQ(Cell(2, kFormulaProperty), "C6H6");
  EXPECT_EQ(Cell(1, kNucleusProperty), "1H");
  EXPECT_EQ(Cell(2, kNucleusProperty), "");
  EXPECT_EQ(Cell(1, kDateProperty), FormatDate(DateFromUnixSeconds(300 * 86400)));
}

TEST_F(SortedListTest, SortingByEachColumnOrdersTheRows) {
  SortBy(kNameProperty, kDataBrowserOrderIncreasing);
  EXPECT_EQ(Paths(), (std::vector<QString>{one, many, hsqc}));
  SortBy(kKindProperty, kDataBrowserOrderIncreasing);
  EXPECT_EQ(Paths(), (std::vector<QString>{hsqc, one, many}));
  SortBy(kFormulaProperty, kDataBrowserOrderIncreasing);  // no formula: last
  EXPECT_EQ(Paths(), (std::vector<QString>{one, many, hsqc}));
  SortBy(kNucleusProperty, kDataBrowserOrderDecreasing);
  EXPECT_EQ(Paths(), (std::vector<QString>{hsqc, one, many}));
  SortBy(kDateProperty, kDataBrowserOrderIncreasing);
  EXPECT_EQ(Paths(), (std::vector<QString>{one, many, hsqc}));
  SortBy(kDateProperty, kDataBrowserOrderDecreasing);
  EXPECT_EQ(Paths(), (std::vector<QString>{hsqc, many, one}));
  SortBy(kPathProperty, kDataBrowserOrderDecreasing);
  EXPECT_EQ(Paths(), (std::vector<QString>{many, one, hsqc}));
}

TEST_F(SortedListTest, ClickingAHeaderSortsByItAndAgainReverses) {
  ClickHeader(1);  // Name
  EXPECT_EQ(Paths(), (std::vector<QString>{one, many, hsqc}));
  ClickHeader(1);
  EXPECT_EQ(Paths(), (std::vector<QString>{hsqc, many, one}));
  MyNotificationCallback(sInfo->resultBrowser, 1, kDataBrowserItemSelected);
  EXPECT_TRUE(Summary().contains(QStringLiteral("dimensions: 2"))) << Summary().toStdString();
}

TEST_F(SortedListTest, SortAndColumnsSurviveARestart) {
  SortBy(kDateProperty, kDataBrowserOrderDecreasing);
  SetDataBrowserPropertyVisible(sInfo->resultBrowser, kFormulaProperty, false);
  Stop();
  Start();
  EXPECT_FALSE(IsDataBrowserPropertyVisible(sInfo->resultBrowser, kFormulaProperty));
  EXPECT_TRUE(IsDataBrowserPropertyVisible(sInfo->resultBrowser, kNameProperty));
  Search();
  EXPECT_EQ(Paths(), (std::vector<QString>{hsqc, many, one}));
}

TEST_F(SortedListTest, ArrowKeysMoveAndShowTheSummaryAndReturnOpens) {
  RecordingOpener opener(home_->root());
  auto* view = qobject_cast<QTreeView*>(sInfo->resultBrowser);
  view->setFocus();
  view->setCurrentIndex(view->model()->index(0, 0));
  QTest::keyClick(view, Qt::Key_Down);
  EXPECT_TRUE(Summary().contains(QStringLiteral("C6H6")));
  QTest::keyClick(view, Qt::Key_Return);
  EXPECT_EQ(opener.Calls(), (std::vector<std::vector<std::string>>{{one.toStdString()}}));
}

TEST_F(SortedListTest, ContextMenuOpensAndCopiesThePath) {
  RecordingOpener opener(home_->root());
  EXPECT_EQ(ChooseDataBrowserContextMenuItem(sInfo->resultBrowser, 3, QStringLiteral("Open")), noErr);
  EXPECT_EQ(opener.Calls(), (std::vector<std::vector<std::string>>{{many.toStdString()}}));
  EXPECT_EQ(ChooseDataBrowserContextMenuItem(sInfo->resultBrowser, 2, QStringLiteral("Copy Path")), noErr);
  EXPECT_EQ(CopyClipboardText(), one);
}

TEST_F(SortedListTest, ShowInFolderFallsBackToOpeningTheFolder) {
  RecordingOpener opener(home_->root());
  // A service nobody owns: the bus, if there is one, answers with an error.
  setenv("ORVANE_FILE_MANAGER_SERVICE", "org.orvane.NoFileManagerHere", 1);
  EXPECT_EQ(ChooseDataBrowserContextMenuItem(sInfo->resultBrowser, 1, QStringLiteral("Show in Folder")), noErr);
  unsetenv("ORVANE_FILE_MANAGER_SERVICE");
  EXPECT_EQ(opener.Calls(), (std::vector<std::vector<std::string>>{{"/d"}}));
}

// A file manager on a bus of the test's own: records each call and answers it.
class FakeFileManager : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    calls.push_back(message.interface() + QStringLiteral(" ") + message.member() + QStringLiteral(" ") +
                    message.arguments().value(0).toStringList().join(QStringLiteral(",")));
    connection.send(message.createReply());
    return true;
  }
  std::vector<QString> calls;
};

TEST_F(SortedListTest, ShowInFolderAsksTheFileManagerForTheFilesUri) {
  QProcess daemon;
  daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                QStringLiteral("--print-address=1")});
  if (!daemon.waitForStarted()) GTEST_SKIP() << "no dbus-daemon to run a bus of the test's own";
  while (!daemon.canReadLine() && daemon.waitForReadyRead(60000)) {
  }
  const QString address = QString::fromUtf8(daemon.readLine().trimmed());
  ASSERT_FALSE(address.isEmpty()) << "dbus-daemon gave no address";
  const char* saved = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string savedAddress = saved ? saved : "";
  setenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8().constData(), 1);
  setenv("ORVANE_FILE_MANAGER_SERVICE", "org.orvane.TestFileManager", 1);
  FakeFileManager fake;
  {
    QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("orvane-test-file-manager"));
    ASSERT_TRUE(bus.isConnected());
    ASSERT_TRUE(bus.registerVirtualObject(QStringLiteral("/org/freedesktop/FileManager1"), &fake));
    ASSERT_TRUE(bus.registerService(QStringLiteral("org.orvane.TestFileManager")));
    RecordingOpener opener(home_->root());
    EXPECT_EQ(ChooseDataBrowserContextMenuItem(sInfo->resultBrowser, 1, QStringLiteral("Show in Folder")), noErr);
    EXPECT_TRUE(opener.Calls().empty()) << "the file manager answered; no opener";
    bus.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
  }
  QDBusConnection::disconnectFromBus(QStringLiteral("orvane-test-file-manager"));
  unsetenv("ORVANE_FILE_MANAGER_SERVICE");
  if (saved)
    setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress.c_str(), 1);
  else
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  daemon.terminate();
  daemon.waitForFinished();
  EXPECT_EQ(fake.calls, std::vector<QString>{QStringLiteral("org.freedesktop.FileManager1 ShowItems file:///d/1-hsqc.jdx")});
}

TEST(FileUri, KeepsTheBytesOfThePath) {
  EXPECT_EQ(FileUriOfPath("/d/a b.jdx"), "file:///d/a%20b.jdx");
  EXPECT_EQ(FileUriOfPath(std::string("/d/caf\xe9")), "file:///d/caf%E9");
}

}  // namespace
