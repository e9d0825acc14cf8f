#pragma once

#include <sys/types.h>

// CPU time (user + system, all threads) a process has used so far, in
// seconds; negative when it cannot be read. Linux: from /proc/<pid>/stat.
double processCpuSeconds(pid_t pid);

// The same for this process, from getrusage.
double ownCpuSeconds();

// CPU time the calling thread has used so far, in seconds.
double threadCpuSeconds();
