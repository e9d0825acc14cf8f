#pragma once

// A stand-in NDI runtime with only the standard SDK's calls, so the loader must
// reach it through its adapters. Its finder lists the names a test sets, and it
// keeps what it was asked for.

#include "ndi/NdiLibrary.h"

#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fake_ndi {

using Table = std::map<std::string, void*>;

struct State {
    std::vector<std::optional<std::string>> sources; // listed in order; nullopt lists a null name
    std::vector<NDIlib_source_t> listed;
    int listings = 0;
    int liveInstances = 0;
    bool showLocalSources = false;
    std::string receiverSource;
    NDIlib_recv_color_format_e receiverColourFormat = NDIlib_recv_color_format_fastest;
    NDIlib_source_t published;
    std::string publishedName;
};
inline State state;

inline constexpr auto entry = [](auto* fn) { return reinterpret_cast<void*>(fn); };

// Calls no test makes: present for the loader, fatal when called.
inline void notExpected()
{
    std::cerr << "the fake NDI runtime was called where no test expects it" << std::endl;
    std::abort();
}

inline Table standardTable()
{
    Table table{
        {"NDIlib_find_create_v2", entry(+[](const NDIlib_find_create_t* settings) {
             state.showLocalSources = settings == nullptr || settings->show_local_sources;
             ++state.liveInstances;
             return reinterpret_cast<NDIlib_find_instance_t>(&state);
         })},
        {"NDIlib_find_get_current_sources", entry(+[](NDIlib_find_instance_t, uint32_t* count) {
             ++state.listings;
             state.listed.resize(state.sources.size());
             for (size_t i = 0; i < state.sources.size(); ++i) {
                 state.listed[i].p_ndi_name = state.sources[i] ? state.sources[i]->c_str() : nullptr;
                 state.listed[i].p_url_address = "fake://source";
             }
             *count = static_cast<uint32_t>(state.listed.size());
             return static_cast<const NDIlib_source_t*>(state.listed.data());
         })},
        {"NDIlib_find_destroy", entry(+[](NDIlib_find_instance_t) { --state.liveInstances; })},
        {"NDIlib_recv_create_v3", entry(+[](const NDIlib_recv_create_v3_t* settings) {
             state.receiverSource = settings->source_to_connect_to.p_ndi_name;
             state.receiverColourFormat = settings->color_format;
             ++state.liveInstances;
             return reinterpret_cast<NDIlib_recv_instance_t>(&state);
         })},
        {"NDIlib_recv_destroy", entry(+[](NDIlib_recv_instance_t) { --state.liveInstances; })},
        {"NDIlib_framesync_create", entry(+[](NDIlib_recv_instance_t) -> NDIlib_framesync_instance_t { return {}; })},
        {"NDIlib_send_create", entry(+[](const NDIlib_send_create_t* settings) {
             state.publishedName = std::string("FAKEHOST (") + settings->p_ndi_name + ")";
             state.published.p_ndi_name = state.publishedName.c_str();
             ++state.liveInstances;
             return reinterpret_cast<NDIlib_send_instance_t>(&state);
         })},
        {"NDIlib_send_get_source_name", entry(+[](NDIlib_send_instance_t) { return &state.published; })},
        {"NDIlib_send_destroy", entry(+[](NDIlib_send_instance_t) { --state.liveInstances; })},
    };
    for (const char* name : {"NDIlib_initialize", "NDIlib_destroy", "NDIlib_version", "NDIlib_find_wait_for_sources",
             "NDIlib_recv_capture_v2", "NDIlib_recv_capture_v3", "NDIlib_recv_free_video_v2",
             "NDIlib_recv_free_audio_v2", "NDIlib_recv_free_audio_v3", "NDIlib_recv_free_metadata",
             "NDIlib_framesync_destroy", "NDIlib_framesync_capture_audio", "NDIlib_framesync_free_audio",
             "NDIlib_framesync_capture_video", "NDIlib_framesync_free_video", "NDIlib_send_send_video_v2",
             "NDIlib_send_send_audio_v2", "NDIlib_send_get_no_connections"})
        table.emplace(name, entry(&notExpected));
    return table;
}

inline std::unique_ptr<NdiLibrary> load(const Table& table, std::string& error)
{
    return NdiLibrary::fromEntries(
        "fake",
        [&table](const char* name) -> void* {
            const auto it = table.find(name);
            return it == table.end() ? nullptr : it->second;
        },
        error);
}

} // namespace fake_ndi
