// Any bytes as a query expression: parsing and, when it parses, evaluating it
// over a small index must neither crash, hang nor grow without bound.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/metadata/json_documents.h"
#include "platform/metadata/query.h"

using namespace metadata;

namespace {

std::shared_ptr<Index> SmallIndex() {
  static std::shared_ptr<Index> index = [] {
    char folder[] = "/tmp/orvane-fuzz-XXXXXX";
    const std::filesystem::path file = std::filesystem::path(mkdtemp(folder)) / "index.sqlite";
    std::string error;
    auto writer = IndexWriter::Open(file, error);
    writer->Begin();
    for (const char* line : {
             R"({"path": "/a/x.jdx", "attributes": {"kMDItemTitle": "Benzène 1H", "Tormalin_Peaks": [1.5, 7.26], "Tormalin_nD": 1,
                 "kMDItemContentCreationDate": "2019-05-07T16:15:00Z", "Tormalin_Nucleus": ["1H"]}})",
             R"({"path": "/a/y.mol", "attributes": {"Molvane_Formula": ["C6H6", "C7H8"], "Molvane_Mass": [78.1, 92.1]}})",
             R"({"path": "/b/z.back", "network": true, "attributes": {"kMDItemTitle": "MyWindowClass"}})"}) {
      writer->Put(std::get<DocumentRecord>(ReadJsonDocument(line)));
    }
    writer->Commit();
    writer.reset();
    return Index::Open(file, error);
  }();
  return index;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string expression(reinterpret_cast<const char*>(data), size);
  QueryError error;
  MDQueryRef query = MDQueryCreate(SmallIndex(), expression, &error);
  if (!query) return 0;
  MDQuerySetSearchScope(query, {FolderScope("/a")});
  if (MDQueryExecute(query, kMDQuerySynchronous)) {
    for (long i = 0; i < MDQueryGetResultCount(query); ++i) MDItemCopyAttributes(MDQueryGetResultAtIndex(query, i));
    MDQueryRef subset = MDQueryCreateSubset(query, expression);
    if (subset) MDQueryExecute(subset, kMDQuerySynchronous);
  }
  return 0;
}
