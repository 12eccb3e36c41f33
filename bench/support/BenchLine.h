#pragma once
// The one result line every benchmark prints and bench/run.sh collects:
//   BENCH <figure> <median> <min> <max> <unit> <goal> [baseline=<figure>]
// goal is "<=N", ">=N" or "-" (none); a baseline names the figure of the same
// run this one is best read against (run.sh shows the ratio).
// Google Benchmark programs call runBenchmarks() instead of BENCHMARK_MAIN():
// the console output stays, and each listed figure gets its line, taken from
// the repetitions (--benchmark_repetitions, 3 unless given).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace vell::bench {

inline void printLine(const std::string& figure, std::vector<double> samples, const std::string& unit,
                      const std::string& goal = "-", const std::string& baseline = "") {
    if (samples.empty()) return;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    const double median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    std::printf("BENCH %s %.4g %.4g %.4g %s %s%s\n", figure.c_str(), median, samples.front(), samples.back(),
                unit.empty() ? "-" : unit.c_str(), goal.c_str(),
                baseline.empty() ? "" : (" baseline=" + baseline).c_str());
    std::fflush(stdout);
}

struct Figure {
    std::string run;     // the benchmark's name as Google Benchmark prints it, up to a '/' or the end
    std::string figure;  // the name in the table
    std::string unit;    // "ms", "us" or "s" for the time; anything for a counter
    std::string goal = "-";
    std::string counter;  // empty: the time per iteration
    std::string baseline;
};

namespace detail {

class LineReporter final : public benchmark::ConsoleReporter {
public:
    explicit LineReporter(std::vector<Figure> figures) : figures_(std::move(figures)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            const std::string name = run.benchmark_name();
            for (std::size_t i = 0; i < figures_.size(); ++i) {
                const auto& f = figures_[i];
                const bool matches =
                    name.rfind(f.run, 0) == 0 && (name.size() == f.run.size() || name[f.run.size()] == '/');
                if (matches) samples_[i].push_back(value(run, f));
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (std::size_t i = 0; i < figures_.size(); ++i)
            printLine(figures_[i].figure, samples_[i], figures_[i].unit, figures_[i].goal, figures_[i].baseline);
    }

private:
    static double value(const Run& run, const Figure& f) {
        if (!f.counter.empty()) {
            auto found = run.counters.find(f.counter);
            return found == run.counters.end() ? 0 : found->second.value;
        }
        const double seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        return seconds * (f.unit == "ms" ? 1e3 : f.unit == "us" ? 1e6 : 1);
    }

    std::vector<Figure> figures_;
    std::map<std::size_t, std::vector<double>> samples_;
};

}  // namespace detail

inline int runBenchmarks(int argc, char** argv, std::vector<Figure> figures) {
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=3";
    if (std::none_of(args.begin(), args.end(),
                     [](const char* a) { return std::strncmp(a, "--benchmark_repetitions", 23) == 0; }))
        args.push_back(repetitions.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    // Console output goes to standard error so standard output holds only result lines.
    detail::LineReporter reporter(std::move(figures));
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace vell::bench
