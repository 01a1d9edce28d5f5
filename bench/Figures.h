#pragma once

#include <benchmark/benchmark.h>

#include <QFile>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

// Prints one figure as "NAME VALUE UNIT".
inline void figure(const char* name, double value, const char* unit) {
    std::printf("%s %.1f %s\n", name, value, unit);
    std::fflush(stdout);
}

// The value below which the fraction `p` of `values` lies; 0 without values.
inline double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0
                          : values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// A field of /proc/<process>/status, such as "VmRSS" (in kB) or "Threads"; `process` is a pid
// or "self". -1 when unreadable.
inline long processStatus(const QString& process, const char* field) {
    QFile f(QStringLiteral("/proc/%1/status").arg(process));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLong();
    return -1;
}

// Prints one line per figure, "NAME VALUE UNIT", instead of Google Benchmark's table.
// A benchmark reports a figure through a counter whose name is "NAME UNIT"; a benchmark whose
// own name ends in "_us" reports its mean real time per iteration in microseconds.
class FigureReporter final : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                std::fprintf(stderr, "%s failed: %s\n", run.benchmark_name().c_str(),
                             run.error_message.c_str());
                continue;
            }
            const std::string name = run.run_name.function_name;
            if (name.size() > 3 && name.compare(name.size() - 3, 3, "_us") == 0) {
                const double us =
                    run.GetAdjustedRealTime() * (run.time_unit == benchmark::kNanosecond    ? 1e-3
                                                 : run.time_unit == benchmark::kMicrosecond ? 1.0
                                                 : run.time_unit == benchmark::kMillisecond ? 1e3
                                                                                            : 1e6);
                std::printf("%s %.3f us\n", name.c_str(), us);
            }
            for (const auto& [counterName, counter] : run.counters) {
                const size_t space = counterName.find(' ');
                std::printf("%s %.1f %s\n", counterName.substr(0, space).c_str(), double(counter),
                            space == std::string::npos ? ""
                                                       : counterName.substr(space + 1).c_str());
            }
        }
        std::fflush(stdout);
    }
};

#define MIRVO_FIGURES_MAIN()                                                                       \
    int main(int argc, char** argv) {                                                              \
        benchmark::Initialize(&argc, argv);                                                        \
        FigureReporter reporter;                                                                   \
        benchmark::RunSpecifiedBenchmarks(&reporter);                                              \
        benchmark::Shutdown();                                                                     \
        return 0;                                                                                  \
    }
