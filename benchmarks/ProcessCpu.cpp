#include "benchmarks/ProcessCpu.h"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

double processCpuSeconds(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line))
        return -1.0;
    // The command name (field 2) may hold blanks and parentheses: fields are
    // counted from the last ')'. utime and stime are fields 14 and 15.
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return -1.0;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    long long utime = -1;
    long long stime = -1;
    for (int index = 3; rest >> field; ++index) {
        if (index == 14)
            utime = std::stoll(field);
        else if (index == 15) {
            stime = std::stoll(field);
            break;
        }
    }
    if (utime < 0 || stime < 0)
        return -1.0;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ownCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
