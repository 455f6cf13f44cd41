// The real panel over a small index in the temporary home's default place.
#pragma once

#include <string>
#include <vector>

#include "platform/metadata/store.h"
#include "tests/support/panel_fixture.h"

class SearchPanelTest : public PanelTest {
 protected:
  void SetUp() override;
  // Stores the documents, each a JSON description, into the default index.
  void Index(const std::vector<std::string>& lines);
  void IndexRecords(const std::vector<metadata::DocumentRecord>& records);
  QString Summary() const { return Text(kDisplaySignature, 0); }
  QString Status() const { return Text(kDisplaySignature, 1); }
  UInt32 Rows() const { return GetDataBrowserItemCount(sInfo->resultBrowser); }
  QString RowPath(DataBrowserItemID row) const;
};
