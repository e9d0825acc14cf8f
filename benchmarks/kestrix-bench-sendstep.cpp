// The per-block send step at scale: channel copy, delay and send for 32
// senders × 16 channels fed from 64 sources × 8 channels (512 routes), timed
// block by block and set against a plain memcpy of the same bytes.
//
//   build/bin/kestrix-bench-sendstep [blocks]

#include "BenchmarkRun.h"
#include "engine/NDITx.h"
#include "ndi/NdiLibrary.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

namespace {

constexpr int kRate = 48000, kBlock = 512;
constexpr int kSources = 64, kSourceChannels = 8;
constexpr int kSenders = 32, kSenderChannels = 16;

double microseconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

} // namespace

int main(int argc, char** argv)
{
    const int blocks = argc > 1 ? std::max(100, std::atoi(argv[1])) : 1500;
    isolateDiscovery();

    SenderMap senders;
    SourceFramesMap frames;
    SourceFreshAudio fresh;
    SenderChannelMappings mappings;
    NDITx tx(senders, frames, fresh, mappings);
    tx.setFormat(kRate, kBlock);

    std::mt19937 random(7);
    std::vector<std::vector<float>> sourceData(kSources, std::vector<float>(kSourceChannels * kBlock));
    for (int s = 0; s < kSources; ++s) {
        for (float& x : sourceData[s])
            x = std::uniform_real_distribution<float>(-1, 1)(random);
        const std::string name = "BENCH (Source " + std::to_string(s) + ")";
        auto holder = std::make_unique<AVFramesContainer>();
        holder->audioFrame.no_channels = kSourceChannels;
        holder->audioFrame.no_samples = kBlock;
        holder->audioFrame.channel_stride_in_bytes = kBlock * 4;
        holder->audioFrame.p_data = sourceData[s].data();
        frames[name] = std::move(holder);
        fresh[name] = true;
    }
    for (int k = 0; k < kSenders; ++k) {
        const std::string name = "Bench Sender " + std::to_string(k);
        SenderState state;
        state.initialise(name, kSenderChannels, kRate, kBlock);
        state.createSendInstance();
        if (k % 4 == 1)
            state.delayLine->setDelay(0.1, kRate, kBlock, kSenderChannels); // a quarter of them delayed
        senders.emplace(name, std::move(state));
        auto& m = mappings[name];
        for (int ch = 0; ch < kSenderChannels; ++ch) {
            const int route = k * kSenderChannels + ch; // 512 routes over all 512 source channels
            m.push_back({static_cast<uint32_t>(route % kSourceChannels),
                         "BENCH (Source " + std::to_string(route / kSourceChannels) + ")"});
        }
    }

    const size_t bytes = static_cast<size_t>(kSenders) * kSenderChannels * kBlock * sizeof(float);
    std::vector<float> copyFrom(bytes / sizeof(float), 0.5f), copyTo(bytes / sizeof(float));

    for (int i = 0; i < 100; ++i)
        tx.processBlock();
    std::vector<double> step, copy, routing;
    const auto period = std::chrono::microseconds(kBlock * 1000000LL / kRate);
    auto due = std::chrono::steady_clock::now();
    for (int i = 0; i < blocks; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        tx.copyChannels();
        auto tc = std::chrono::steady_clock::now();
        tx.delayAndSend();
        auto t1 = std::chrono::steady_clock::now();
        routing.push_back(microseconds(tc - t0));
        std::memcpy(copyTo.data(), copyFrom.data(), bytes);
        auto t2 = std::chrono::steady_clock::now();
        step.push_back(microseconds(t1 - t0));
        copy.push_back(microseconds(t2 - t1));
        // At the engine's pace, so the runtime's queues behave as they do in use.
        due += period;
        std::this_thread::sleep_until(due);
    }

    // The same back to back, caches warm: what the step costs without the machine's memory latency.
    std::vector<double> hot, hotCopy;
    for (int i = 0; i < 500; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        tx.copyChannels();
        auto t1 = std::chrono::steady_clock::now();
        std::memcpy(copyTo.data(), copyFrom.data(), bytes);
        auto t2 = std::chrono::steady_clock::now();
        hot.push_back(microseconds(t1 - t0));
        hotCopy.push_back(microseconds(t2 - t1));
    }

    const double blockUs = 1e6 * kBlock / kRate;
    const double median = percentile(step, 0.5), p99 = percentile(step, 0.99), copyMedian = percentile(copy, 0.5);
    std::printf("send step: %d senders x %d channels from %d sources x %d channels, %d routes, %d blocks\n",
                kSenders, kSenderChannels, kSources, kSourceChannels, kSenders * kSenderChannels, blocks);
    std::printf("  median %.1f us (%.2f %% of a %.0f us block), p99 %.1f us (%.2f %%)\n", median,
                100 * median / blockUs, blockUs, p99, 100 * p99 / blockUs);
    std::printf("  of which the channel copy: median %.1f us; the delay and the runtime's send: the rest\n",
                percentile(routing, 0.5));
    std::printf("  plain memcpy of the same %zu bytes: median %.1f us (%.2f %%); send step / memcpy = %.1f\n", bytes,
                copyMedian, 100 * copyMedian / blockUs, median / copyMedian);
    std::printf("  back to back: channel copy median %.1f us (%.2f %%), memcpy median %.1f us (%.2f %%)\n",
                percentile(hot, 0.5), 100 * percentile(hot, 0.5) / blockUs, percentile(hotCopy, 0.5),
                100 * percentile(hotCopy, 0.5) / blockUs);
    std::printf("reproduce: build/bin/kestrix-bench-sendstep %d\n", blocks);
    return 0;
}
