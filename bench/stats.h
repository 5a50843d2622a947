// Summaries of repeated timings: the median, which a few slow fsyncs cannot drag around.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace quenlarch::bench {

// The median of `samples` (the mean of the middle two for an even count); 0 when empty.
inline double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t middle = samples.size() / 2;
  if (samples.size() % 2 == 1) return samples[middle];
  return (samples[middle - 1] + samples[middle]) / 2;
}

// Milliseconds on the monotonic clock since `start`.
inline double millisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace quenlarch::bench
