#include "bench/support/RatioReporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <vector>

namespace benchsupport {
namespace {

struct Ratio {
    std::string label, measured, baseline;
    double limit;
};

std::vector<Ratio>& Ratios() {
    static std::vector<Ratio> ratios;
    return ratios;
}

class CRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            // With --benchmark_repetitions the median of the repetitions stands for the benchmark.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_times[run.run_name.str()] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
                m_medians.insert(run.run_name.str());
                continue;
            }
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            if (!m_medians.count(run.benchmark_name()))
                m_times[run.benchmark_name()] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        if (Ratios().empty()) return;
        // Wall time suffers when the run is descheduled on a busy machine; the
        // CPU time of the benchmark's thread does not, so targets are judged on it.
        std::printf("\nRatios (same run; lower is better):   %8s %8s\n", "wall", "cpu");
        for (const auto& r : Ratios()) {
            const auto m = m_times.find(r.measured), b = m_times.find(r.baseline);
            if (m == m_times.end() || b == m_times.end() || b->second.wall <= 0 || b->second.cpu <= 0) {
                std::printf("  %-40s  (not run)\n", r.label.c_str());
                continue;
            }
            const double wall = m->second.wall / b->second.wall;
            const double cpu = m->second.cpu / b->second.cpu;
            if (r.limit > 0) {
                std::printf("  %-40s %7.2fx %7.2fx   target <= %.2fx (cpu): %s\n", r.label.c_str(), wall, cpu,
                            r.limit, cpu <= r.limit ? "met" : "MISSED");
            } else {
                std::printf("  %-40s %7.2fx %7.2fx\n", r.label.c_str(), wall, cpu);
            }
        }
        std::fflush(stdout);
    }

private:
    struct Times {
        double wall = 0, cpu = 0;
    };
    std::map<std::string, Times> m_times;
    std::set<std::string> m_medians;
};

}  // namespace

void AddRatio(const std::string& label, const std::string& measured, const std::string& baseline, double limit) {
    Ratios().push_back({label, measured, baseline, limit});
}

int RunWithRatios(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace benchsupport
