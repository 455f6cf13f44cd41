#include "bench/load_average.h"

#include <cstdio>
#include <cstdlib>

std::string LoadAverages() {
  double load[3] = {};
  if (getloadavg(load, 3) != 3) return "load ?";
  char text[64];
  std::snprintf(text, sizeof text, "load %.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}
