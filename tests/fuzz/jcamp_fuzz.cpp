// Any bytes as a JCAMP-DX file: labelled records, ASDF data, peak tables,
// embedded molfiles. Errors and partial results are fine; faults are not.
#include <cstdint>
#include <string_view>

#include "importers/jcamp/jcamp_importer.h"
#include "importers/molecules/molecule_importer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  importers::molecules::QuietLibraries();
  importers::jcamp::ImportJcampText(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
