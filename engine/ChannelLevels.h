#pragma once

// Threads: measure, beginBlock and add on one writer at a time (the audio thread, or a capture task it waits for),
// never waiting or allocating; read on any one other thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// The levels of one stream's channels: the peak and the mean square of every
// block that arrived since the last read. The writer publishes through
// atomics, so a reader never stops it; what a reader gets may mix two blocks'
// values, which a meter never shows.
class ChannelLevels {
public:
    // Linear, in the runtime's float scale (10.0 is 0 dBFS).
    struct Level {
        float peak = 0;
        float rms = 0;
    };

    // Allocates: off the audio thread.
    explicit ChannelLevels(size_t channels);

    size_t channels() const { return count; }

    // The peak and the sum of squares of `n` samples.
    static void measure(const float* samples, size_t n, float& peak, double& sumSquares);

    // Writer, first in each block: starts a new window once a reader has read the last one.
    void beginBlock();
    // Writer: one block of `channel` (ignored beyond the channels it has).
    void add(size_t channel, float peak, double sumSquares, size_t samples);
    // Writer (or the thread that waits for it): what `channel` got in the
    // current block, to pass on unchanged; false when it got nothing.
    bool lastBlock(size_t channel, float& peak, double& sumSquares, size_t& samples) const;

    // Reader: per channel, the levels since the last read (nothing where no
    // block arrived), and a new window starts.
    void read(std::vector<std::optional<Level>>& levels);

private:
    struct Channel {
        std::atomic<float> peak{0};
        std::atomic<float> meanSquare{0};
        std::atomic<uint32_t> blocks{0};
        // The writer's own.
        float windowPeak = 0;
        double windowSum = 0;
        uint64_t windowSamples = 0;
        uint32_t windowBlocks = 0;
        float lastPeak = 0;
        double lastSum = 0;
        size_t lastSamples = 0;
        uint64_t lastBlockNumber = 0;
    };

    std::unique_ptr<Channel[]> data;
    size_t count = 0;
    std::atomic<uint64_t> readEpoch{0};
    uint64_t writerEpoch = 0; // the writer's
    uint64_t blockNumber = 1; // the writer's
};
