#include "engine/ChannelLevels.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

ChannelLevels::ChannelLevels(size_t channels) : data(std::make_unique<Channel[]>(channels)), count(channels) { }

void ChannelLevels::measure(const float* samples, size_t n, float& peak, double& sumSquares)
{
    size_t i = 0;
    float peaks[4] = {};
    float sums[4] = {};
#if defined(__SSE2__) || defined(_M_X64)
    // Two independent lanes of four: the loop runs at memory speed.
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128 p0 = _mm_setzero_ps(), p1 = _mm_setzero_ps(), s0 = _mm_setzero_ps(), s1 = _mm_setzero_ps();
    for (; i + 8 <= n; i += 8) {
        const __m128 a = _mm_loadu_ps(samples + i);
        const __m128 b = _mm_loadu_ps(samples + i + 4);
        p0 = _mm_max_ps(p0, _mm_and_ps(a, magnitude));
        p1 = _mm_max_ps(p1, _mm_and_ps(b, magnitude));
        s0 = _mm_add_ps(s0, _mm_mul_ps(a, a));
        s1 = _mm_add_ps(s1, _mm_mul_ps(b, b));
    }
    _mm_storeu_ps(peaks, _mm_max_ps(p0, p1));
    _mm_storeu_ps(sums, _mm_add_ps(s0, s1));
#endif
    for (; i < n; ++i) {
        peaks[0] = std::max(peaks[0], std::fabs(samples[i]));
        sums[0] += samples[i] * samples[i];
    }
    peak = std::max(std::max(peaks[0], peaks[1]), std::max(peaks[2], peaks[3]));
    sumSquares = static_cast<double>(sums[0]) + sums[1] + sums[2] + sums[3];
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
        levels[c] =
            Level{ch.peak.load(std::memory_order_relaxed), std::sqrt(ch.meanSquare.load(std::memory_order_relaxed))};
    }
    readEpoch.fetch_add(1, std::memory_order_release);
}
