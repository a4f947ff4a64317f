// Encoding 100 MB of multipart parts (100 parts of 1 MB), in memory and into a new file, against a
// plain memcpy into one buffer and plain write() calls of the same part bytes. The time ratios (ours /
// raw) are counters: ours also reads every part through its stream and adds boundaries and headers.
// The last line prints the throughput relative to each peer, the median over repetitions (goals:
// >= 0.5 of memcpy's, >= 0.8 of write()'s).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Rivulet/Source/MultipartFormData.h"
#include "bench/PeerRatio.h"

namespace {

using platform::Bytes;
using Clock = std::chrono::steady_clock;

constexpr size_t kParts = 100;
constexpr size_t kPartSize = 1024 * 1024;

const std::vector<Bytes>& parts() {
    static const std::vector<Bytes> all = [] {
        std::vector<Bytes> out;
        for (size_t i = 0; i < kParts; ++i) {
            Bytes part(kPartSize);
            for (size_t j = 0; j < kPartSize; ++j) part[j] = uint8_t((i * 31 + j) & 0xff);
            out.push_back(std::move(part));
        }
        return out;
    }();
    return all;
}

rivulet::MultipartFormData form() {
    rivulet::MultipartFormData f("rivulet.boundary.0123456789abcdef");
    for (size_t i = 0; i < kParts; ++i)
        f.append(parts()[i], "part" + std::to_string(i), "p.bin", "application/octet-stream");
    return f;
}

// Made once for the whole program and removed at its end: every repetition writes into it.
std::string gScratchDirectory;

void rawMemcpy(Bytes& into) {
    size_t at = 0;
    for (const auto& p : parts()) {
        std::memcpy(into.data() + at, p.data(), p.size());
        at += p.size();
    }
    benchmark::DoNotOptimize(into.data());
}

bool rawWrite(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    for (const auto& p : parts()) {
        size_t done = 0;
        while (done < p.size()) {
            ssize_t n = ::write(fd, p.data() + done, p.size() - done);
            if (n <= 0) {
                ::close(fd);
                return false;
            }
            done += size_t(n);
        }
    }
    return ::close(fd) == 0;
}

void BM_MultipartInMemoryVersusMemcpy(benchmark::State& state) {
    Bytes raw(kParts * kPartSize);
    Clock::duration ours{}, plain{};
    for (auto _ : state) {
        auto f = form();
        auto t0 = Clock::now();
        try {
            benchmark::DoNotOptimize(f.encode());
        } catch (const rivulet::ThrownError& e) {
            state.SkipWithError(("encoding failed: " + e.error().description()).c_str());
            break;
        }
        auto t1 = Clock::now();
        rawMemcpy(raw);
        auto t2 = Clock::now();
        ours += t1 - t0;
        plain += t2 - t1;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kParts * kPartSize));
    state.counters["rivulet/memcpy"] = plain.count() ? double(ours.count()) / double(plain.count()) : 0.0;
    if (ours.count()) bench::recordPeerRatio("memcpy", double(plain.count()) / double(ours.count()));
}
BENCHMARK(BM_MultipartInMemoryVersusMemcpy)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_MultipartToFileVersusWrite(benchmark::State& state) {
    Clock::duration ours{}, plain{};
    const std::string a = gScratchDirectory + "/ours", b = gScratchDirectory + "/raw";
    for (auto _ : state) {
        // The encoder only ever makes a new file, and so does the raw side.
        std::filesystem::remove(a);
        std::filesystem::remove(b);
        auto f = form();
        auto t0 = Clock::now();
        try {
            f.writeEncodedData(platform::URL::fileURL(a));
        } catch (const rivulet::ThrownError& e) {
            state.SkipWithError(("encoding failed: " + e.error().description()).c_str());
            break;
        }
        auto t1 = Clock::now();
        if (!rawWrite(b)) {
            state.SkipWithError("the raw write failed");
            break;
        }
        auto t2 = Clock::now();
        ours += t1 - t0;
        plain += t2 - t1;
    }
    std::filesystem::remove(a);
    std::filesystem::remove(b);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kParts * kPartSize));
    state.counters["rivulet/write"] = plain.count() ? double(ours.count()) / double(plain.count()) : 0.0;
    if (ours.count()) bench::recordPeerRatio("write", double(plain.count()) / double(ours.count()));
}
BENCHMARK(BM_MultipartToFileVersusWrite)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    char tmpl[] = "/tmp/rivulet-bench-mp-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    gScratchDirectory = tmpl;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(gScratchDirectory);
    std::printf("ratio multipart throughput: %.2f of memcpy's (goal >= 0.5), %.2f of write()'s (goal >= 0.8)\n",
                bench::medianPeerRatio("memcpy"), bench::medianPeerRatio("write"));
    return 0;
}
