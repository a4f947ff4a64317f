#pragma once
// Ratios of a benchmark against its peer, kept for every run of the benchmark (each repetition), so
// that the program's last line can give their median: one run shows where we stand, and a shared
// machine's bad moment does not decide it.
#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace bench {

// The median of a set of samples; NaN when there are none.
inline double median(std::vector<double> samples) {
    if (samples.empty()) return std::nan("");
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

inline std::map<std::string, std::vector<double>>& peerRatioSamples() {
    static std::map<std::string, std::vector<double>> samples;
    return samples;
}

inline void recordPeerRatio(const std::string& name, double ratio) {
    if (std::isfinite(ratio) && ratio > 0) peerRatioSamples()[name].push_back(ratio);
}

// The median of the recorded ratios; NaN when none was recorded (the benchmark was filtered out or failed).
inline double medianPeerRatio(const std::string& name) {
    auto it = peerRatioSamples().find(name);
    return it == peerRatioSamples().end() ? std::nan("") : median(it->second);
}

}  // namespace bench
