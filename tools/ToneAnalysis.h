#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// Measurements of one received channel, on NDI's level scale: float 10.0 is
// 0 dBFS, so a sine of peak amplitude 1.0 reads −20 dBFS.

// The strongest frequency in `samples` taken at `sampleRate`: a Hann-windowed
// FFT with the peak refined between bins. Empty for silence or too few
// samples. One thread at a time (FFTW's planner is not thread-safe).
std::optional<double> dominantFrequency(const std::vector<float>& samples, int sampleRate);

// AES17-style RMS level of `count` samples whose squares add up to
// `sumOfSquares`: a full-scale sine reads 0 dBFS. Empty for pure silence.
std::optional<double> rmsLevelDbfs(double sumOfSquares, int64_t count);
