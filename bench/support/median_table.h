// The figures of one benchmark run, kept as the console shows them, so that a bench can end with
// its goals as ratios between figures of this same run: the median of each repeated benchmark
// (or its one result when it ran once).
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {

class MedianTable : public benchmark::ConsoleReporter {
  public:
    // Coloured only on a terminal, so that a saved run reads as plain text.
    MedianTable() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || (run.run_type == Run::RT_Iteration && run.repetitions <= 1))
                runs_[Key(run)] = run;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // The benchmark's name as registered, with its arguments: "Floor/1600x1200",
    // "BM_Stream/link:0".
    const Run* Find(const std::string& name) const {
        auto found = runs_.find(name);
        return found == runs_.end() || found->second.error_occurred ? nullptr : &found->second;
    }
    // Milliseconds of CPU (or of real time) per iteration; negative when the benchmark did not run.
    double CpuMs(const std::string& name) const { return Ms(name, true); }
    double RealMs(const std::string& name) const { return Ms(name, false); }
    double Counter(const std::string& name, const std::string& counter) const {
        const Run* run = Find(name);
        if (run == nullptr)
            return -1;
        auto found = run->counters.find(counter);
        return found == run->counters.end() ? -1 : found->second.value;
    }

  private:
    static std::string Key(const Run& run) {
        return run.run_name.function_name +
               (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
    }
    double Ms(const std::string& name, bool cpu) const {
        const Run* run = Find(name);
        if (run == nullptr)
            return -1;
        const double time = cpu ? run->GetAdjustedCPUTime() : run->GetAdjustedRealTime();
        return time * 1e3 / benchmark::GetTimeUnitMultiplier(run->time_unit);
    }

    std::map<std::string, Run> runs_;
};

// Runs the benchmarks the command line selects through the table, then hands it to `summary`.
template <typename Summary>
int RunWithSummary(int argc, char** argv, Summary summary) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    MedianTable table;
    benchmark::RunSpecifiedBenchmarks(&table);
    benchmark::Shutdown();
    std::printf("\n");
    summary(table);
    return 0;
}

// "1.234" or "-" for a figure that was not measured.
inline std::string Figure(double value, const char* format = "%.3f") {
    if (value < 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

inline std::string Ratio(double numerator, double denominator) {
    return numerator < 0 || denominator <= 0 ? "-" : Figure(numerator / denominator, "%.2f x");
}

}  // namespace bench
