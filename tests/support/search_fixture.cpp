#include "tests/support/search_fixture.h"

#include "platform/metadata/json_documents.h"
#include "results/result_list.h"

using namespace metadata;

void SearchPanelTest::SetUp() {
  PanelTest::SetUp();
  Start();
}

void SearchPanelTest::Index(const std::vector<std::string>& lines) {
  std::vector<DocumentRecord> records;
  for (const std::string& line : lines) {
    auto document = ReadJsonDocument(line);
    ASSERT_TRUE(std::holds_alternative<DocumentRecord>(document)) << line;
    records.push_back(std::get<DocumentRecord>(document));
  }
  IndexRecords(records);
}

void SearchPanelTest::IndexRecords(const std::vector<DocumentRecord>& records) {
  std::string error;
  auto writer = IndexWriter::Open(DefaultIndexPath(), error);
  ASSERT_NE(writer, nullptr) << error;
  writer->Begin();
  for (const DocumentRecord& record : records) writer->Put(record);
  writer->Commit();
}

QString SearchPanelTest::RowPath(DataBrowserItemID row) const {
  return CopyDataBrowserCellText(sInfo->resultBrowser, row, kPathProperty).value_or(QStringLiteral("<no text>"));
}
