#pragma once

#include <string>
#include <vector>

// The value below which `fraction` (0..1) of `values` lie; 0 when empty.
double percentile(std::vector<double> values, double fraction);

// How often a kestrix-testsrc restarted its audio schedule after a stall, from
// the log it wrote when it ended: each restart drops the time it stalled from
// its sources, which every frame-sync downstream must absorb. 0 when the log
// holds no such line.
long long testsrcScheduleRestarts(const std::string& logPath);

// Makes a fresh discovery folder and points this process's loopback runtime
// at it (children inherit it), so that other loopback sources on the machine
// neither join nor disturb the run. Call before the runtime is first used.
// Returns the folder, or an empty string when none could be made.
std::string isolateDiscovery();
