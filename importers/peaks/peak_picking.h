// Peaks of a processed one-dimensional spectrum, where no peak list was made:
// local maxima standing above the spectrum's median by at least 8 times its
// median absolute deviation, refined by a parabola through three points; at
// most 256 kept, the highest; positions on the spectrum's axis.
#pragma once

#include <functional>
#include <vector>

namespace importers::peaks {

constexpr size_t kMaxPeaks = 256;
constexpr double kThresholdDeviations = 8;

// `position` maps a fractional point index to the axis (ppm); the spectrum may
// run in either direction. Points that are not numbers are ignored.
std::vector<double> PickPeaks(const std::vector<double>& intensities, const std::function<double(double)>& position);

}  // namespace importers::peaks
