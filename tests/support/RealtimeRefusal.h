#pragma once

// Takes from the calling thread, and from the threads it starts afterwards,
// what lets it ask for a real-time policy: CAP_SYS_NICE, and the process's
// RLIMIT_RTPRIO grant. The system then refuses as it refuses an ordinary user.

#if defined(__linux__)
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

inline bool refuseRealtime()
{
    const rlimit none{0, 0};
    if (setrlimit(RLIMIT_RTPRIO, &none) != 0)
        return false;
    prctl(PR_CAPBSET_DROP, CAP_SYS_NICE, 0, 0, 0); // nor may a program it starts get it back
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    __user_cap_data_struct& word = data[CAP_SYS_NICE / 32];
    const uint32_t keep = ~(1u << (CAP_SYS_NICE % 32));
    word.effective &= keep;
    word.permitted &= keep;
    word.inheritable &= keep;
    return syscall(SYS_capset, &header, data) == 0;
}

// Whether the calling thread may ask for a real-time policy.
inline bool mayUseRealtime()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    rlimit limit{};
    return (syscall(SYS_capget, &header, data) == 0 &&
               (data[CAP_SYS_NICE / 32].effective & (1u << (CAP_SYS_NICE % 32))) != 0) ||
        (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0);
}
#endif
