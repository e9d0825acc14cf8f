// A stand-in NDI runtime with only the standard SDK entries: no find_create_v3,
// find_get_current_sources_v2, recv_create_v4 or send_create_v2, so a loader
// that takes it must serve those through its adapters. Its finder lists
// whatever names the test hands it through fake_set_sources.
//
// Built a second time with FAKE_NDI_WITHOUT_RECV_CAPTURE_V3 it lacks a call
// that has no substitute, and a loader must refuse it.

#include "tests/fakes/FakeNdiRuntime.h"

#include "ndi/NdiApi.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#define FAKE_EXPORT extern "C" KESTRIX_NDI_EXPORT

namespace {

struct Finder {
    bool showLocalSources = false;
    std::vector<NDIlib_source_t> listed; // what the last get handed out
};

struct Receiver {
    std::string sourceName;
};

struct Sender {
    std::string name;
    NDIlib_source_t published;
    std::string publishedName;
};

struct State {
    std::mutex mutex;
    std::vector<std::optional<std::string>> sources; // nullopt lists a null name
    std::vector<std::string> urls;
    std::map<std::string, int> calls;
    int liveFinders = 0;
    int liveReceivers = 0;
    int liveSenders = 0;
    bool lastShowLocalSources = false;
    std::string lastReceiverSource;
    int lastReceiverBandwidth = 0;
};

State& state()
{
    static State s;
    return s;
}

void count(const char* function)
{
    std::lock_guard lock(state().mutex);
    ++state().calls[function];
}

} // namespace

// ---- Controls for tests -----------------------------------------------------

// The names the finder lists from now on; a null entry lists a null name.
FAKE_EXPORT void fake_set_sources(const char* const* names, uint32_t n)
{
    std::lock_guard lock(state().mutex);
    state().sources.clear();
    state().urls.clear();
    for (uint32_t i = 0; i < n; ++i) {
        if (names[i] == nullptr)
            state().sources.emplace_back(std::nullopt);
        else
            state().sources.emplace_back(names[i]);
        state().urls.push_back("fake://source/" + std::to_string(i));
    }
}

// How often the runtime's own function `function` (its C name) was called.
FAKE_EXPORT int fake_call_count(const char* function)
{
    std::lock_guard lock(state().mutex);
    const auto it = state().calls.find(function);
    return it == state().calls.end() ? 0 : it->second;
}

FAKE_EXPORT int fake_live_instances()
{
    std::lock_guard lock(state().mutex);
    return state().liveFinders + state().liveReceivers + state().liveSenders;
}

FAKE_EXPORT bool fake_last_show_local_sources()
{
    std::lock_guard lock(state().mutex);
    return state().lastShowLocalSources;
}

// Source name and bandwidth the last receiver was created with.
FAKE_EXPORT const char* fake_last_receiver_source()
{
    std::lock_guard lock(state().mutex);
    return state().lastReceiverSource.c_str();
}

FAKE_EXPORT int fake_last_receiver_bandwidth()
{
    std::lock_guard lock(state().mutex);
    return state().lastReceiverBandwidth;
}

// ---- Library lifetime -------------------------------------------------------

FAKE_EXPORT bool NDIlib_initialize(void)
{
    count(__func__);
    return true;
}

FAKE_EXPORT void NDIlib_destroy(void) { count(__func__); }

FAKE_EXPORT const char* NDIlib_version(void)
{
    count(__func__);
    return "FAKE NDI 9.9.9";
}

// ---- Finding ----------------------------------------------------------------

FAKE_EXPORT NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* settings)
{
    count(__func__);
    auto finder = std::make_unique<Finder>();
    finder->showLocalSources = settings == nullptr || settings->show_local_sources;
    std::lock_guard lock(state().mutex);
    state().lastShowLocalSources = finder->showLocalSources;
    ++state().liveFinders;
    return reinterpret_cast<NDIlib_find_instance_t>(finder.release());
}

FAKE_EXPORT const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t instance,
                                                                   uint32_t* no_sources)
{
    count(__func__);
    auto* finder = reinterpret_cast<Finder*>(instance);
    std::lock_guard lock(state().mutex);
    // The strings stay valid until the next set: the test sets while no list is in use.
    finder->listed.clear();
    for (size_t i = 0; i < state().sources.size(); ++i) {
        NDIlib_source_t entry;
        entry.p_ndi_name = state().sources[i] ? state().sources[i]->c_str() : nullptr;
        entry.p_url_address = state().urls[i].c_str();
        finder->listed.push_back(entry);
    }
    if (no_sources != nullptr)
        *no_sources = static_cast<uint32_t>(finder->listed.size());
    return finder->listed.empty() ? nullptr : finder->listed.data();
}

FAKE_EXPORT bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t, uint32_t)
{
    count(__func__);
    return false;
}

FAKE_EXPORT void NDIlib_find_destroy(NDIlib_find_instance_t instance)
{
    count(__func__);
    if (instance == nullptr)
        return;
    delete reinterpret_cast<Finder*>(instance);
    std::lock_guard lock(state().mutex);
    --state().liveFinders;
}

// ---- Receiving --------------------------------------------------------------

FAKE_EXPORT NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t* settings)
{
    count(__func__);
    auto receiver = std::make_unique<Receiver>();
    const char* name = settings != nullptr ? settings->source_to_connect_to.p_ndi_name : nullptr;
    receiver->sourceName = name != nullptr ? name : "";
    std::lock_guard lock(state().mutex);
    state().lastReceiverSource = receiver->sourceName;
    state().lastReceiverBandwidth = settings != nullptr ? settings->bandwidth : 0;
    ++state().liveReceivers;
    return reinterpret_cast<NDIlib_recv_instance_t>(receiver.release());
}

FAKE_EXPORT void NDIlib_recv_destroy(NDIlib_recv_instance_t instance)
{
    count(__func__);
    if (instance == nullptr)
        return;
    delete reinterpret_cast<Receiver*>(instance);
    std::lock_guard lock(state().mutex);
    --state().liveReceivers;
}

FAKE_EXPORT NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t, NDIlib_video_frame_v2_t*,
                                                       NDIlib_audio_frame_v2_t*, NDIlib_metadata_frame_t*,
                                                       uint32_t)
{
    count(__func__);
    return NDIlib_frame_type_none;
}

#if !defined(FAKE_NDI_WITHOUT_RECV_CAPTURE_V3)
FAKE_EXPORT NDIlib_frame_type_e NDIlib_recv_capture_v3(NDIlib_recv_instance_t, NDIlib_video_frame_v2_t*,
                                                       NDIlib_audio_frame_v3_t*, NDIlib_metadata_frame_t*,
                                                       uint32_t)
{
    count(__func__);
    return NDIlib_frame_type_none;
}
#endif

FAKE_EXPORT void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t, const NDIlib_video_frame_v2_t*)
{
    count(__func__);
}

FAKE_EXPORT void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t, const NDIlib_audio_frame_v2_t*)
{
    count(__func__);
}

FAKE_EXPORT void NDIlib_recv_free_audio_v3(NDIlib_recv_instance_t, const NDIlib_audio_frame_v3_t*)
{
    count(__func__);
}

FAKE_EXPORT void NDIlib_recv_free_metadata(NDIlib_recv_instance_t, const NDIlib_metadata_frame_t*)
{
    count(__func__);
}

// ---- Frame synchroniser -----------------------------------------------------

FAKE_EXPORT NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t)
{
    count(__func__);
    return nullptr;
}

FAKE_EXPORT void NDIlib_framesync_destroy(NDIlib_framesync_instance_t) { count(__func__); }

FAKE_EXPORT void NDIlib_framesync_capture_audio(NDIlib_framesync_instance_t, NDIlib_audio_frame_v2_t* frame, int,
                                                int, int)
{
    count(__func__);
    if (frame != nullptr)
        *frame = NDIlib_audio_frame_v2_t{};
}

FAKE_EXPORT void NDIlib_framesync_free_audio(NDIlib_framesync_instance_t, NDIlib_audio_frame_v2_t*)
{
    count(__func__);
}

FAKE_EXPORT void NDIlib_framesync_capture_video(NDIlib_framesync_instance_t, NDIlib_video_frame_v2_t* frame,
                                                NDIlib_frame_format_type_e)
{
    count(__func__);
    if (frame != nullptr)
        *frame = NDIlib_video_frame_v2_t{};
}

FAKE_EXPORT void NDIlib_framesync_free_video(NDIlib_framesync_instance_t, NDIlib_video_frame_v2_t*)
{
    count(__func__);
}

// ---- Sending ----------------------------------------------------------------

FAKE_EXPORT NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* settings)
{
    count(__func__);
    auto sender = std::make_unique<Sender>();
    sender->name = settings != nullptr && settings->p_ndi_name != nullptr ? settings->p_ndi_name : "";
    sender->publishedName = "FAKEHOST (" + sender->name + ")";
    sender->published.p_ndi_name = sender->publishedName.c_str();
    std::lock_guard lock(state().mutex);
    ++state().liveSenders;
    return reinterpret_cast<NDIlib_send_instance_t>(sender.release());
}

FAKE_EXPORT void NDIlib_send_destroy(NDIlib_send_instance_t instance)
{
    count(__func__);
    if (instance == nullptr)
        return;
    delete reinterpret_cast<Sender*>(instance);
    std::lock_guard lock(state().mutex);
    --state().liveSenders;
}

FAKE_EXPORT void NDIlib_send_send_video_v2(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*)
{
    count(__func__);
}

FAKE_EXPORT void NDIlib_send_send_audio_v2(NDIlib_send_instance_t, const NDIlib_audio_frame_v2_t*)
{
    count(__func__);
}

FAKE_EXPORT const NDIlib_source_t* NDIlib_send_get_source_name(NDIlib_send_instance_t instance)
{
    count(__func__);
    return instance != nullptr ? &reinterpret_cast<Sender*>(instance)->published : nullptr;
}

FAKE_EXPORT int NDIlib_send_get_no_connections(NDIlib_send_instance_t, uint32_t)
{
    count(__func__);
    return 0;
}
