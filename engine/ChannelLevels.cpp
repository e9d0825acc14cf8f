#include "engine/ChannelLevels.h"

#include <algorithm>
#include <cmath>

ChannelLevels::ChannelLevels(size_t channels)
    : data(std::make_unique<Channel[]>(channels))
    , count(channels)
{
}

void ChannelLevels::measure(const float* samples, size_t n, float& peak, double& sumSquares)
{
    // Eight independent lanes, so the compiler can keep them in vector registers.
    float peaks[8] = {};
    float sums[8] = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (size_t lane = 0; lane < 8; ++lane) {
            const float x = samples[i + lane];
            peaks[lane] = std::max(peaks[lane], std::fabs(x));
            sums[lane] += x * x;
        }
    for (; i < n; ++i) {
        peaks[0] = std::max(peaks[0], std::fabs(samples[i]));
        sums[0] += samples[i] * samples[i];
    }
    peak = *std::max_element(peaks, peaks + 8);
    sumSquares = 0;
    for (float s : sums)
        sumSquares += s;
}

void ChannelLevels::beginBlock()
{
    ++blockNumber;
    const uint64_t epoch = readEpoch.load(std::memory_order_acquire);
    if (epoch == writerEpoch)
        return;
    writerEpoch = epoch;
    for (size_t c = 0; c < count; ++c) {
        Channel& ch = data[c];
        ch.windowPeak = 0;
        ch.windowSum = 0;
        ch.windowSamples = 0;
        ch.windowBlocks = 0;
        ch.blocks.store(0, std::memory_order_relaxed);
    }
}

void ChannelLevels::add(size_t channel, float peak, double sumSquares, size_t samples)
{
    if (channel >= count)
        return;
    Channel& ch = data[channel];
    ch.lastPeak = peak;
    ch.lastSum = sumSquares;
    ch.lastSamples = samples;
    ch.lastBlockNumber = blockNumber;
    ch.windowPeak = std::max(ch.windowPeak, peak);
    ch.windowSum += sumSquares;
    ch.windowSamples += samples;
    ++ch.windowBlocks;
    ch.peak.store(ch.windowPeak, std::memory_order_relaxed);
    ch.meanSquare.store(
        ch.windowSamples != 0 ? static_cast<float>(ch.windowSum / static_cast<double>(ch.windowSamples)) : 0.0f,
        std::memory_order_relaxed);
    ch.blocks.store(ch.windowBlocks, std::memory_order_release);
}

bool ChannelLevels::lastBlock(size_t channel, float& peak, double& sumSquares, size_t& samples) const
{
    if (channel >= count || data[channel].lastBlockNumber != blockNumber)
        return false;
    const Channel& ch = data[channel];
    peak = ch.lastPeak;
    sumSquares = ch.lastSum;
    samples = ch.lastSamples;
    return true;
}

void ChannelLevels::read(std::vector<std::optional<Level>>& levels)
{
    levels.assign(count, std::nullopt);
    for (size_t c = 0; c < count; ++c) {
        Channel& ch = data[c];
        // Taken, not just read: a writer that stopped writing leaves nothing behind.
        if (ch.blocks.exchange(0, std::memory_order_acq_rel) == 0)
            continue;
        levels[c] = Level{ch.peak.load(std::memory_order_relaxed),
                          std::sqrt(ch.meanSquare.load(std::memory_order_relaxed))};
    }
    readEpoch.fetch_add(1, std::memory_order_release);
}
