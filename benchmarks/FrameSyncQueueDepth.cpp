#include "benchmarks/FrameSyncQueueDepth.h"

#include "ndi/NdiLibrary.h"

#include <dlfcn.h>

QueueDepthCall findQueueDepthCall()
{
    // Any bound entry tells which file the runtime was loaded from.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(ndi().framesync_create), &info) == 0 || info.dli_fname == nullptr)
        return nullptr;
    void* handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return nullptr;
    auto call = reinterpret_cast<QueueDepthCall>(dlsym(handle, "NDIlib_framesync_audio_queue_depth"));
    dlclose(handle); // drops only the reference taken here; the loader keeps its own
    return call;
}
