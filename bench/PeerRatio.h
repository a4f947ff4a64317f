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
    if (it == peerRatioSamples().end() || it->second.empty()) return std::nan("");
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace bench
