#include "query/shared_index.h"

namespace {

SharedIndexSettings& Settings() {
  static SharedIndexSettings settings;
  return settings;
}

}  // namespace

void SetSharedIndex(SharedIndexSettings settings) { Settings() = std::move(settings); }

const SharedIndexSettings& SharedIndex() { return Settings(); }
