// Encoding 100 MB of multipart parts (100 parts of 1 MB), in memory and into a new file, against a
// plain memcpy into one buffer and plain write() calls of the same part bytes. The ratios (ours / raw)
// are counters: ours also reads every part through its stream in 1 KiB steps and adds boundaries and
// headers.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Rivulet/Source/MultipartFormData.h"

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

const std::string& scratchDirectory() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/rivulet-bench-mp-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
}

void rawMemcpy(Bytes& into) {
    size_t at = 0;
    for (const auto& p : parts()) {
        std::memcpy(into.data() + at, p.data(), p.size());
        at += p.size();
    }
    benchmark::DoNotOptimize(into.data());
}

void rawWrite(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    for (const auto& p : parts()) {
        size_t done = 0;
        while (done < p.size()) {
            ssize_t n = ::write(fd, p.data() + done, p.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
    }
    ::close(fd);
}

void BM_MultipartInMemoryVersusMemcpy(benchmark::State& state) {
    Bytes raw(kParts * kPartSize);
    Clock::duration ours{}, plain{};
    for (auto _ : state) {
        auto f = form();
        auto t0 = Clock::now();
        benchmark::DoNotOptimize(f.encode());
        auto t1 = Clock::now();
        rawMemcpy(raw);
        auto t2 = Clock::now();
        ours += t1 - t0;
        plain += t2 - t1;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kParts * kPartSize));
    state.counters["rivulet/memcpy"] = plain.count() ? double(ours.count()) / double(plain.count()) : 0.0;
}
BENCHMARK(BM_MultipartInMemoryVersusMemcpy)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_MultipartToFileVersusWrite(benchmark::State& state) {
    Clock::duration ours{}, plain{};
    const std::string a = scratchDirectory() + "/ours", b = scratchDirectory() + "/raw";
    for (auto _ : state) {
        std::filesystem::remove(a);
        std::filesystem::remove(b);
        auto f = form();
        auto t0 = Clock::now();
        f.writeEncodedData(platform::URL::fileURL(a));
        auto t1 = Clock::now();
        rawWrite(b);
        auto t2 = Clock::now();
        ours += t1 - t0;
        plain += t2 - t1;
    }
    std::filesystem::remove_all(scratchDirectory());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kParts * kPartSize));
    state.counters["rivulet/write"] = plain.count() ? double(ours.count()) / double(plain.count()) : 0.0;
}
BENCHMARK(BM_MultipartToFileVersusWrite)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
