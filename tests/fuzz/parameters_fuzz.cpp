// Any bytes as an experiment's parameter file (acqus, procs).
#include <cstdint>
#include <string>
#include <string_view>

#include "importers/spectrometer/parameters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using importers::spectrometer::Parameters;
  const Parameters parameters = Parameters::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const char* key : {"NUC1", "SFO1", "PARMODE", "DATE", "SI", "OFFSET", "SW_p", "TD", "D"}) {
    parameters.Text(key);
    parameters.Number(key);
    parameters.Numbers(key);
  }
  return 0;
}
