// Encoding 100 MB of multipart parts (100 parts of 1 MB), in memory and into a new file, against the
// plainest code that does the same job: memcpy of the part bytes into a fresh buffer of the encoded
// size (malloc'd for each run and faulted in by the copy, as the encoder's result is), and plain
// write() calls of the part bytes into a new file. Ours also reads every part through its stream and
// adds boundaries and headers.
//
// The two sides are measured in turns in every iteration (the first side alternates), in CPU time of
// the process: the page faults that fill a fresh buffer and the kernel's copy into the page cache are
// system time, and a loaded machine's waits are not. Building the form and freeing the results are not
// measured. The last line prints the medians over repetitions of the time ratios (ours / peer; lower is
// better), each with its goal.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Rivulet/Source/MultipartFormData.h"
#include "bench/PeerRatio.h"

namespace {

using platform::Bytes;

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

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Made once for the whole program and removed at its end: every repetition writes into it.
std::string gScratchDirectory;

// The peer's buffer: fresh memory, as malloc hands it out, that the copy faults in.
std::unique_ptr<uint8_t[]> rawMemcpy(size_t size) {
    auto into = std::make_unique_for_overwrite<uint8_t[]>(size);
    size_t at = 0;
    for (const auto& p : parts()) {
        std::memcpy(into.get() + at, p.data(), p.size());
        at += p.size();
    }
    benchmark::DoNotOptimize(into.get());
    benchmark::ClobberMemory();
    return into;
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

// Runs `ours` and `peer` in turns, each measured in CPU seconds; records ours / peer under `name`.
template <typename Ours, typename Peer>
void inTurns(benchmark::State& state, const char* name, Ours ours, Peer peer) {
    double oursSeconds = 0, peerSeconds = 0;
    bool oursFirst = true;
    for (auto _ : state) {
        for (int side = 0; side < 2; ++side) {
            const bool runOurs = (side == 0) == oursFirst;
            if (!(runOurs ? ours(state, oursSeconds) : peer(state, peerSeconds))) return;
        }
        oursFirst = !oursFirst;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kParts * kPartSize));
    const double ratio = peerSeconds > 0 ? oursSeconds / peerSeconds : 0.0;
    const double perRun = 1e3 / double(state.iterations());
    state.counters["ours cpu ms"] = oursSeconds * perRun;
    state.counters[std::string(name) + " cpu ms"] = peerSeconds * perRun;
    state.counters[std::string("cpu ours/") + name] = ratio;
    bench::recordPeerRatio(name, ratio);
}

void BM_MultipartInMemoryVersusMemcpy(benchmark::State& state) {
    size_t encodedSize = 0;
    inTurns(
        state, "memcpy",
        [&](benchmark::State& s, double& seconds) {
            s.PauseTiming();
            auto f = form();
            s.ResumeTiming();
            const double t0 = cpuSeconds();
            Bytes body;
            try {
                body = f.encode();
            } catch (const rivulet::ThrownError& e) {
                s.SkipWithError(("encoding failed: " + e.error().description()).c_str());
                return false;
            }
            seconds += cpuSeconds() - t0;
            encodedSize = body.size();
            s.PauseTiming();
            body = Bytes();
            s.ResumeTiming();
            return true;
        },
        [&](benchmark::State& s, double& seconds) {
            // The same size as our result (the first turn, when ours has not run yet, takes it from a
            // run of its own).
            if (encodedSize == 0) {
                s.PauseTiming();
                encodedSize = form().encode().size();
                s.ResumeTiming();
            }
            const double t0 = cpuSeconds();
            auto raw = rawMemcpy(encodedSize);
            seconds += cpuSeconds() - t0;
            s.PauseTiming();
            raw.reset();
            s.ResumeTiming();
            return true;
        });
}
BENCHMARK(BM_MultipartInMemoryVersusMemcpy)->Unit(benchmark::kMillisecond)->Iterations(6);

void BM_MultipartToFileVersusWrite(benchmark::State& state) {
    const std::string a = gScratchDirectory + "/ours", b = gScratchDirectory + "/raw";
    inTurns(
        state, "write",
        [&](benchmark::State& s, double& seconds) {
            // The encoder only ever makes a new file, and so does the raw side.
            s.PauseTiming();
            std::filesystem::remove(a);
            auto f = form();
            s.ResumeTiming();
            const double t0 = cpuSeconds();
            try {
                f.writeEncodedData(platform::URL::fileURL(a));
            } catch (const rivulet::ThrownError& e) {
                s.SkipWithError(("encoding failed: " + e.error().description()).c_str());
                return false;
            }
            seconds += cpuSeconds() - t0;
            return true;
        },
        [&](benchmark::State& s, double& seconds) {
            s.PauseTiming();
            std::filesystem::remove(b);
            s.ResumeTiming();
            const double t0 = cpuSeconds();
            if (!rawWrite(b)) {
                s.SkipWithError("the raw write failed");
                return false;
            }
            seconds += cpuSeconds() - t0;
            return true;
        });
    std::filesystem::remove(a);
    std::filesystem::remove(b);
}
BENCHMARK(BM_MultipartToFileVersusWrite)->Unit(benchmark::kMillisecond)->Iterations(4);

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
    std::printf("ratio multipart time ours/peer, lower is better: in memory %.2f of memcpy into a fresh buffer "
                "(goal <= 1.5), to a file %.2f of write() (goal <= 1.25, i.e. >= 0.8 of its throughput)\n",
                bench::medianPeerRatio("memcpy"), bench::medianPeerRatio("write"));
    return 0;
}
