// Throughput of the scan over an in-memory history of a million realistic
// lines, beside the limit (the same reader, parsing nothing) and a plain scan
// built on fgets() and sscanf(). Prints lines per second and both ratios;
// it measures and never judges.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "chunk_reader.hpp"
#include "realistic_history.hpp"
#include "reboot_history.hpp"

namespace {

constexpr std::uint64_t history_lines = 1'000'000;
constexpr int fgets_buffer = 256;
constexpr const char* bare_name = "BareReader";
constexpr const char* scan_name = "Scan";
constexpr const char* sscanf_name = "SscanfReference";
// A moment after the history's running boot started, so that every start is placed.
constexpr EpochMinutes bench_now =
    realistic_history::running_start / realistic_history::seconds_per_minute + 1;

const std::string& history() {
    static const std::string text = [] {
        realistic_history::Generator generator;
        std::string bytes(realistic_history::running_line);
        char line[realistic_history::max_line_length];
        for (std::uint64_t i = 0; i < history_lines; ++i) {
            bytes.append(line, realistic_history::next_line(generator, line));
        }
        bytes += realistic_history::trailer;
        return bytes;
    }();
    return text;
}

std::FILE* open_history() {
    const std::string& text = history();
    return fmemopen(const_cast<char*>(text.data()), text.size(), "r");
}

// The reader and the scan take a descriptor: an in-memory file, rewound.
int history_descriptor() {
    static const int descriptor = [] {
        const std::string& text = history();
        const int fd = memfd_create("history", 0);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            std::abort();
        }
        return fd;
    }();
    lseek(descriptor, 0, SEEK_SET);
    return descriptor;
}

void count_lines(benchmark::State& state) {
    state.counters["lines/s"] = benchmark::Counter(
        static_cast<double>(history_lines) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}

void BareReader(benchmark::State& state) {
    for (auto _ : state) {
        static ChunkReader reader;
        reader = ChunkReader{};
        reader.descriptor = history_descriptor();
        Chunk chunk;
        std::uint64_t chunks = 0;
        while (next_chunk(reader, chunk)) {
            const char* text = chunk.text.data();
            benchmark::DoNotOptimize(text);
            ++chunks;
        }
        benchmark::DoNotOptimize(chunks);
    }
    count_lines(state);
}

void Scan(benchmark::State& state) {
    std::FILE* sink = std::fopen("/dev/null", "w");
    for (auto _ : state) {
        HistoryScan scan =
            scan_history_stream(history_descriptor(), sink, sink, RunOptions{}, bench_now);
        benchmark::DoNotOptimize(scan.totals.count);
    }
    std::fclose(sink);
    count_lines(state);
}

// The scan phrased the plain way: fgets(), the last "(", a "+" in the tail,
// then sscanf() with one of the two patterns.
void SscanfReference(benchmark::State& state) {
    for (auto _ : state) {
        std::FILE* stream = open_history();
        char buffer[fgets_buffer];
        std::int64_t total = 0;
        std::uint64_t count = 0;
        while (std::fgets(buffer, sizeof buffer, stream) != nullptr) {
            const char* open = std::strrchr(buffer, '(');
            if (open == nullptr) {
                continue;
            }
            int days = 0;
            int hours = 0;
            int minutes = 0;
            const bool parsed =
                std::strchr(open, '+') != nullptr
                    ? std::sscanf(open + 1, "%d+%d:%d", &days, &hours, &minutes) == 3
                    : std::sscanf(open + 1, "%d:%d", &hours, &minutes) == 2;
            if (parsed) {
                total += minutes + 60 * (hours + 24 * days);
                ++count;
            }
        }
        benchmark::DoNotOptimize(total);
        benchmark::DoNotOptimize(count);
        std::fclose(stream);
    }
    count_lines(state);
}

BENCHMARK(BareReader)->Unit(benchmark::kMillisecond);
BENCHMARK(Scan)->Unit(benchmark::kMillisecond);
BENCHMARK(SscanfReference)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's time per pass so that the ratios can follow the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                seconds[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    history();  // built once, before any timing
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double bare = reporter.seconds[bare_name];
    const double scan = reporter.seconds[scan_name];
    const double reference = reporter.seconds[sscanf_name];
    if (bare > 0 && scan > 0 && reference > 0) {
        std::printf("\nscan throughput / bare reader throughput: %.2f (goal: at least 0.5)\n",
                    bare / scan);
        std::printf("scan throughput / sscanf reference throughput: %.2f (goal: at least 3)\n",
                    reference / scan);
    }
    return 0;
}
