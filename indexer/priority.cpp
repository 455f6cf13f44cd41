#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "indexer/watch.h"

namespace indexer {

namespace {
// From linux/ioprio.h, which glibc does not wrap.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioClassShift = 13;
}  // namespace

void LowerPriority() {
  setpriority(PRIO_PROCESS, 0, 19);
  syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioClassIdle << kIoprioClassShift);
}

}  // namespace indexer
