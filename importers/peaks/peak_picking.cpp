#include "importers/peaks/peak_picking.h"

#include <algorithm>
#include <cmath>

namespace importers::peaks {

namespace {

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

}  // namespace

std::vector<double> PickPeaks(const std::vector<double>& intensities, const std::function<double(double)>& position) {
  std::vector<double> finite;
  finite.reserve(intensities.size());
  for (double y : intensities)
    if (std::isfinite(y)) finite.push_back(y);
  if (finite.size() < 3) return {};
  const double median = Median(finite);
  for (double& y : finite) y = std::fabs(y - median);
  const double deviation = Median(std::move(finite));
  const double threshold = median + kThresholdDeviations * deviation;

  struct Peak {
    double height, at;
  };
  std::vector<Peak> found;
  for (size_t i = 1; i + 1 < intensities.size(); ++i) {
    const double left = intensities[i - 1], y = intensities[i], right = intensities[i + 1];
    if (!std::isfinite(left) || !std::isfinite(y) || !std::isfinite(right)) continue;
    if (!(y > threshold && y > left && y >= right)) continue;
    const double curvature = left - 2 * y + right;
    const double offset = curvature != 0 ? std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5) : 0;
    found.push_back({y, double(i) + offset});
  }
  if (found.size() > kMaxPeaks) {
    std::partial_sort(found.begin(), found.begin() + kMaxPeaks, found.end(), [](const Peak& a, const Peak& b) { return a.height > b.height; });
    found.resize(kMaxPeaks);
  }
  std::vector<double> positions;
  for (const Peak& peak : found) positions.push_back(position(peak.at));
  std::sort(positions.begin(), positions.end());
  return positions;
}

}  // namespace importers::peaks
