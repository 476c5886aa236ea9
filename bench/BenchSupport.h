#pragma once

#include <benchmark/benchmark.h>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

//! benchmark::Initialize with the repetitions of the benchmarks run in turns, so that what else the machine does at
//! the time falls on all of them alike.
inline void initializeInTurns(int argc, char** argv)
{
    std::vector<char*> arguments(argv, argv + argc);
    static std::string interleave = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave.data());
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
}

//! A value of /proc/self/status in KiB ("VmHWM", "VmRSS"); -1 when missing.
inline long statusKiB(const char* key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0 && line.size() > std::strlen(key) && line[std::strlen(key)] == ':') {
            return std::stol(line.substr(std::strlen(key) + 1));
        }
    }
    return -1;
}

} // namespace bench
