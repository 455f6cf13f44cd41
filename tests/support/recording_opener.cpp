#include "tests/support/recording_opener.h"

#include <cstdlib>

#include "tests/support/temp_home.h"

namespace fs = std::filesystem;

RecordingOpener::RecordingOpener(const fs::path& folder) : record_(folder / "opened.record") {
  const fs::path bin = folder / "opener-bin";
  fs::create_directories(bin);
  fs::create_symlink(fs::path(ORVANE_BIN_DIR) / "record_arguments", bin / "xdg-open");
  savedPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (bin.string() + ":" + savedPath_).c_str(), 1);
  setenv("ORVANE_RECORD_FILE", record_.c_str(), 1);
}

RecordingOpener::~RecordingOpener() {
  setenv("PATH", savedPath_.c_str(), 1);
  unsetenv("ORVANE_RECORD_FILE");
}

std::vector<std::vector<std::string>> RecordingOpener::Calls() const {
  std::vector<std::vector<std::string>> calls;
  const std::string data = ReadFile(record_);
  std::vector<std::string> call;
  size_t at = 0;
  while (at < data.size()) {
    const size_t end = data.find('\0', at);
    if (end == at) {  // the extra NUL that ends a call
      calls.push_back(call);
      call.clear();
      ++at;
      continue;
    }
    call.push_back(data.substr(at, end - at));
    at = end + 1;
  }
  return calls;
}
