#pragma once

// A loopback source in the test process, paced like a real one: audio blocks
// of 512/48000 s on an absolute schedule, channel c a sine of 375·(c+1) Hz
// with peak 1.0, and optionally grey UYVY pictures.

#include "ndi/NdiLibrary.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

class TestSource {
public:
    struct Options {
        int channels = 2; // 0: no audio
        int sampleRate = 48000;
        int frameRateN = 0; // pictures per second, 0: no video
    };

    TestSource(const std::string& name, Options o) : options(o)
    {
        const NDIlib_send_create_t settings{.p_ndi_name = name.c_str(), .clock_audio = false};
        instance = ndi().send_create_v2(&settings, nullptr);
        if (options.channels > 0)
            audioThread = std::thread([this] { sendAudio(); });
        if (options.frameRateN > 0)
            videoThread = std::thread([this] { sendVideo(); });
    }
    ~TestSource()
    {
        running = false;
        for (std::thread* thread : {&audioThread, &videoThread})
            if (thread->joinable())
                thread->join();
        ndi().send_destroy(instance);
    }

    std::string publishedName() const { return ndi().send_get_source_name(instance)->p_ndi_name; }

private:
    void sendAudio()
    {
        constexpr int64_t block = 512, engineRate = 48000;
        const int rate = options.sampleRate, channels = options.channels;
        std::vector<float> data;
        std::vector<double> phase(static_cast<size_t>(channels), 0.0);
        auto due = std::chrono::steady_clock::now();
        for (int64_t tick = 0; running; ++tick) {
            const int64_t n = (tick + 1) * rate * block / engineRate - tick * rate * block / engineRate;
            data.assign(static_cast<size_t>(n * channels), 0.0f);
            for (int c = 0; c < channels; ++c) {
                const double step = 2 * std::numbers::pi * 375.0 * (c + 1) / rate;
                for (int64_t i = 0; i < n; ++i, phase[c] += step)
                    data[static_cast<size_t>(c * n + i)] = static_cast<float>(std::sin(phase[c]));
                phase[c] = std::fmod(phase[c], 2 * std::numbers::pi);
            }
            const NDIlib_audio_frame_v2_t frame{.sample_rate = rate,
                .no_channels = channels,
                .no_samples = static_cast<int>(n),
                .p_data = data.data(),
                .channel_stride_in_bytes = static_cast<int>(n * 4)};
            ndi().send_send_audio_v2(instance, &frame);
            due += std::chrono::microseconds(block * 1000000 / engineRate);
            std::this_thread::sleep_until(due);
        }
    }

    void sendVideo()
    {
        constexpr int width = 32, height = 8;
        std::vector<uint8_t> pixels(width * 2 * height, 0x80);
        while (running) {
            const NDIlib_video_frame_v2_t picture{.xres = width,
                .yres = height,
                .frame_rate_N = options.frameRateN,
                .frame_rate_D = 1,
                .p_data = pixels.data(),
                .line_stride_in_bytes = width * 2};
            ndi().send_send_video_v2(instance, &picture); // paced by the runtime
        }
    }

    Options options;
    NDIlib_send_instance_t instance = nullptr;
    std::atomic<bool> running{true};
    std::thread audioThread, videoThread;
};
