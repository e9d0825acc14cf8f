#pragma once

// The test controls that the fake NDI runtime exports next to its NDI calls,
// and a way for a test to reach them in the copy of the runtime that the
// loader opened.

#include <dlfcn.h>

#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" {
void fake_set_sources(const char* const* names, uint32_t n);
int fake_call_count(const char* function);
int fake_live_instances();
bool fake_last_show_local_sources();
const char* fake_last_receiver_source();
int fake_last_receiver_bandwidth();
}

struct FakeNdiRuntime {
    decltype(&fake_set_sources) setSources = nullptr;
    decltype(&fake_call_count) callCount = nullptr;
    decltype(&fake_live_instances) liveInstances = nullptr;
    decltype(&fake_last_show_local_sources) lastShowLocalSources = nullptr;
    decltype(&fake_last_receiver_source) lastReceiverSource = nullptr;
    decltype(&fake_last_receiver_bandwidth) lastReceiverBandwidth = nullptr;

    // Opening the same file again yields the same loaded copy, so these
    // controls act on the runtime that the loader is using.
    explicit FakeNdiRuntime(const std::string& path)
        : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
    {
        if (handle == nullptr)
            throw std::runtime_error("cannot open fake runtime " + path);
        bind(setSources, "fake_set_sources");
        bind(callCount, "fake_call_count");
        bind(liveInstances, "fake_live_instances");
        bind(lastShowLocalSources, "fake_last_show_local_sources");
        bind(lastReceiverSource, "fake_last_receiver_source");
        bind(lastReceiverBandwidth, "fake_last_receiver_bandwidth");
    }
    ~FakeNdiRuntime() { dlclose(handle); }
    FakeNdiRuntime(const FakeNdiRuntime&) = delete;
    FakeNdiRuntime& operator=(const FakeNdiRuntime&) = delete;

    void* handle = nullptr;

private:
    template <typename Fn>
    void bind(Fn& slot, const char* name)
    {
        slot = reinterpret_cast<Fn>(dlsym(handle, name));
        if (slot == nullptr)
            throw std::runtime_error(std::string("fake runtime lacks ") + name);
    }
};
