#pragma once

#include <benchmark/benchmark.h>
#include <iostream>
#include <map>
#include <string>

namespace bench {

//! The console report, keeping the median of each benchmark so that two can be put side by side as a ratio.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_medians[run.run_name.function_name] = run.GetAdjustedRealTime();
                m_cpuMedians[run.run_name.function_name] = run.GetAdjustedCPUTime();
                // With arguments also under "name/arguments".
                if (!run.run_name.args.empty()) {
                    m_medians[run.run_name.function_name + "/" + run.run_name.args] = run.GetAdjustedRealTime();
                    m_cpuMedians[run.run_name.function_name + "/" + run.run_name.args] = run.GetAdjustedCPUTime();
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    //! Prints "<label>: <median of a / median of b>" when both ran.
    void printRatio(const std::string& label, const std::string& a, const std::string& b) const
    {
        if (m_medians.count(a) && m_medians.count(b)) {
            std::cout << label << ": " << m_medians.at(a) / m_medians.at(b) << '\n';
        }
    }

    //! The same with the medians of the CPU time, for a machine whose load makes the wall time noisy.
    void printCpuRatio(const std::string& label, const std::string& a, const std::string& b) const
    {
        if (m_cpuMedians.count(a) && m_cpuMedians.count(b)) {
            std::cout << label << ": " << m_cpuMedians.at(a) / m_cpuMedians.at(b) << '\n';
        }
    }

private:
    std::map<std::string, double> m_medians;
    std::map<std::string, double> m_cpuMedians;
};

} // namespace bench
