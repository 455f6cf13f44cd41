// The planner's and the packer's limits as a test found them, put back when
// it ends, whatever it set meanwhile.
#pragma once

#include "platform/metadata/planner.h"
#include "platform/metadata/store.h"

namespace metadata {

struct RestoredLimits {
  PlannerLimits planner = CurrentPlannerLimits();
  PackLimits packing = CurrentPackLimits();
  RestoredLimits() = default;
  RestoredLimits(const RestoredLimits&) = delete;
  RestoredLimits& operator=(const RestoredLimits&) = delete;
  ~RestoredLimits() {
    SetPlannerLimits(planner);
    SetPackLimits(packing);
  }
};

}  // namespace metadata
