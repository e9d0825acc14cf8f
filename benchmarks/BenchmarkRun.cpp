#include "benchmarks/BenchmarkRun.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(fraction * static_cast<double>(values.size()));
    return values[std::min(values.size() - 1, index)];
}

long long testsrcScheduleRestarts(const std::string& logPath)
{
    std::ifstream log(logPath);
    const std::string marker = "audio schedule restarted ";
    for (std::string line; std::getline(log, line);)
        if (const auto at = line.find(marker); at != std::string::npos)
            return std::atoll(line.c_str() + at + marker.size());
    return 0;
}

std::string isolateDiscovery()
{
    std::string folder = (std::filesystem::temp_directory_path() / "kestrix-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr)
        return {};
    setenv("KESTRIX_LOOPBACK_DIR", folder.c_str(), 1);
    return folder;
}
