#pragma once

// Receives a source's frames exactly as sent, with no frame-sync, so a test
// can read every block and picture that went out.

#include "ndi/NdiLibrary.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

class RawReceiver {
public:
    struct Block {
        int samples = 0;
        int64_t timestamp = 0; // when the sender sent it
        std::vector<float> data; // planar
        float at(int channel, int sample) const
        {
            const auto i = static_cast<size_t>(channel * samples + sample);
            return i < data.size() ? data[i] : std::nanf("");
        }
    };

    // The names the network lists at one look.
    static std::vector<std::string> listedNames()
    {
        NDIlib_find_create_t settings;
        NDIlib_find_instance_t finder = ndi().find_create_v3(&settings, nullptr);
        uint32_t count = 0;
        const NDIlib_source_v2_t* list = ndi().find_get_current_sources_v2(finder, &count);
        std::vector<std::string> names(count);
        std::transform(list, list + count, names.begin(), [](const auto& source) { return source.p_ndi_name; });
        ndi().find_destroy(finder);
        return names;
    }

    // The name our own sender `stream` is published under, once the network lists it ("" if it never does).
    static std::string listed(const std::string& stream)
    {
        for (int attempt = 0; attempt < 100; ++attempt, std::this_thread::sleep_for(std::chrono::milliseconds(50)))
            for (const std::string& name : listedNames())
                if (name.ends_with(" (" + stream + ")"))
                    return name;
        return "";
    }

    // A receiver of `source`, connecting in the background.
    static NDIlib_recv_instance_t create(const std::string& source)
    {
        NDIlib_recv_create_v3_t settings;
        settings.source_to_connect_to.p_ndi_name = source.c_str();
        return ndi().recv_create_v4(&settings, nullptr);
    }

    explicit RawReceiver(const std::string& source) : receiver(create(source))
    {
        // The connection is made when the status change arrives.
        for (int i = 0; i < 50; ++i)
            if (ndi().recv_capture_v2(receiver, nullptr, nullptr, nullptr, 100) == NDIlib_frame_type_status_change)
                break;
    }
    ~RawReceiver() { ndi().recv_destroy(receiver); }

    // The next audio block, or an empty one after `timeoutMs`.
    Block nextBlock(uint32_t timeoutMs = 2000)
    {
        NDIlib_audio_frame_v2_t frame;
        if (!next(nullptr, &frame, timeoutMs))
            return {};
        Block block{frame.no_samples, frame.timestamp, {}};
        for (int c = 0; c < frame.no_channels; ++c) {
            const auto* samples = reinterpret_cast<const float*>(
                reinterpret_cast<const uint8_t*>(frame.p_data) + c * frame.channel_stride_in_bytes);
            block.data.insert(block.data.end(), samples, samples + frame.no_samples);
        }
        ndi().recv_free_audio_v2(receiver, &frame);
        return block;
    }

    // Whether a picture arrives within `timeoutMs`.
    bool nextPicture(uint32_t timeoutMs)
    {
        NDIlib_video_frame_v2_t picture;
        if (!next(&picture, nullptr, timeoutMs))
            return false;
        ndi().recv_free_video_v2(receiver, &picture);
        return true;
    }

private:
    // Whether a frame of the one kind asked for arrived within `timeoutMs`; other kinds are passed over.
    bool next(NDIlib_video_frame_v2_t* video, NDIlib_audio_frame_v2_t* audio, uint32_t timeoutMs)
    {
        const auto wanted = video != nullptr ? NDIlib_frame_type_video : NDIlib_frame_type_audio;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline)
            if (ndi().recv_capture_v2(receiver, video, audio, nullptr, 100) == wanted)
                return true;
        return false;
    }

    NDIlib_recv_instance_t receiver;
};
