// The watcher as a systemd user service (orvane-index.service).
#pragma once

namespace indexer {

// Enables and starts the service (`enable`), or stops and disables it, with
// systemctl --user; systemctl's exit status, 127 when it cannot be run.
int SetServiceEnabled(bool enable);

}  // namespace indexer
