#pragma once

// Receives a source's frames exactly as sent, with no frame-sync, so a test
// can read every block and picture that went out.

#include "ndi/NdiLibrary.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

class RawReceiver {
public:
    struct Block {
        int channels = 0;
        int samples = 0;
        int64_t timestamp = 0; // when the sender sent it
        std::vector<float> data; // planar
        float at(int channel, int sample) const
        {
            const auto i = static_cast<size_t>(channel * samples + sample);
            return i < data.size() ? data[i] : std::nanf("");
        }
    };

    // The name our own sender `stream` is published under, once the network lists it ("" if it never does).
    static std::string listed(const std::string& stream)
    {
        NDIlib_find_create_t settings;
        NDIlib_find_instance_t finder = ndi().find_create_v3(&settings, nullptr);
        const std::string suffix = " (" + stream + ")";
        std::string found;
        for (int attempt = 0; attempt < 100 && found.empty(); ++attempt) {
            uint32_t count = 0;
            const NDIlib_source_v2_t* list = ndi().find_get_current_sources_v2(finder, &count);
            for (uint32_t i = 0; i < count; ++i)
                if (const std::string name = list[i].p_ndi_name; name.ends_with(suffix))
                    found = name;
            if (found.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ndi().find_destroy(finder);
        return found;
    }

    explicit RawReceiver(const std::string& source)
    {
        NDIlib_recv_create_v3_t settings;
        settings.source_to_connect_to.p_ndi_name = source.c_str();
        receiver = ndi().recv_create_v4(&settings, nullptr);
        NDIlib_audio_frame_v2_t ignored;
        // The connection is made when the status change arrives.
        for (int i = 0; i < 50; ++i)
            if (ndi().recv_capture_v2(receiver, nullptr, &ignored, nullptr, 100) == NDIlib_frame_type_status_change)
                break;
    }
    ~RawReceiver() { ndi().recv_destroy(receiver); }

    // The next audio block, or an empty one after `timeoutMs`.
    Block nextBlock(uint32_t timeoutMs = 2000)
    {
        Block block;
        NDIlib_audio_frame_v2_t frame;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto type = ndi().recv_capture_v2(receiver, nullptr, &frame, nullptr, 100);
            if (type != NDIlib_frame_type_audio)
                continue;
            block.timestamp = frame.timestamp;
            block.channels = frame.no_channels;
            block.samples = frame.no_samples;
            block.data.resize(static_cast<size_t>(frame.no_channels) * frame.no_samples);
            for (int c = 0; c < frame.no_channels; ++c)
                std::memcpy(block.data.data() + static_cast<size_t>(c) * frame.no_samples,
                    reinterpret_cast<const uint8_t*>(frame.p_data) +
                        static_cast<size_t>(c) * frame.channel_stride_in_bytes,
                    static_cast<size_t>(frame.no_samples) * sizeof(float));
            ndi().recv_free_audio_v2(receiver, &frame);
            break;
        }
        return block;
    }

    // The counter in the first 8 bytes of the next picture, or 0 after `timeoutMs`.
    uint64_t nextPictureCounter(uint32_t timeoutMs = 3000)
    {
        NDIlib_video_frame_v2_t picture;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (ndi().recv_capture_v2(receiver, &picture, nullptr, nullptr, 100) != NDIlib_frame_type_video)
                continue;
            uint64_t counter = 0;
            std::memcpy(&counter, picture.p_data, sizeof counter);
            ndi().recv_free_video_v2(receiver, &picture);
            return counter;
        }
        return 0;
    }

private:
    NDIlib_recv_instance_t receiver = nullptr;
};
