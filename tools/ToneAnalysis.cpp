#include "tools/ToneAnalysis.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

namespace {

// NDI's reference: float 1.0 is −20 dBFS, so digital full scale is 10.0.
constexpr double fullScale = 10.0;

// FFTW is fastest on lengths made of small primes; trimming a few samples off
// the end costs nothing in accuracy.
size_t smoothLength(size_t n)
{
    for (; n > 1; --n) {
        size_t m = n;
        for (size_t p : {2, 3, 5, 7})
            while (m % p == 0)
                m /= p;
        if (m == 1)
            return n;
    }
    return n;
}

struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};

} // namespace

std::optional<double> rmsLevelDbfs(double sumOfSquares, int64_t count)
{
    if (count <= 0 || sumOfSquares <= 0.0)
        return std::nullopt;
    const double rms = std::sqrt(sumOfSquares / static_cast<double>(count));
    // AES17 reads a full-scale sine as 0 dB, hence the √2 on its RMS.
    return 20.0 * std::log10(rms * std::numbers::sqrt2 / fullScale);
}

std::optional<double> dominantFrequency(const std::vector<float>& samples, int sampleRate)
{
    const size_t n = smoothLength(samples.size());
    if (n < 16 || sampleRate <= 0 || std::all_of(samples.begin(), samples.end(), [](float s) { return s == 0.0f; }))
        return std::nullopt;

    std::unique_ptr<float, FftwFree> input(static_cast<float*>(fftwf_malloc(sizeof(float) * n)));
    std::unique_ptr<fftwf_complex, FftwFree> output(
        static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * (n / 2 + 1))));
    for (size_t i = 0; i < n; ++i) {
        const double hann =
            0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n));
        input.get()[i] = static_cast<float>(samples[i] * hann);
    }
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(static_cast<int>(n), input.get(), output.get(), FFTW_ESTIMATE);
    fftwf_execute(plan);
    fftwf_destroy_plan(plan);

    const size_t bins = n / 2 + 1;
    std::vector<double> magnitude(bins);
    for (size_t k = 0; k < bins; ++k)
        magnitude[k] = std::hypot(static_cast<double>(output.get()[k][0]), static_cast<double>(output.get()[k][1]));
    // Bins 0 and 1 hold DC and the window's own spread of it.
    const auto peak = std::max_element(magnitude.begin() + 2, magnitude.end() - 1);
    const auto best = static_cast<size_t>(peak - magnitude.begin());

    // A Hann-windowed sine's main lobe is close to a Gaussian, so a parabola
    // through the log magnitudes finds its top within a small fraction of a bin.
    const double a = std::log(magnitude[best - 1] + 1e-30);
    const double b = std::log(magnitude[best] + 1e-30);
    const double c = std::log(magnitude[best + 1] + 1e-30);
    const double curvature = a - 2.0 * b + c;
    const double offset = curvature != 0.0 ? 0.5 * (a - c) / curvature : 0.0;
    return (static_cast<double>(best) + offset) * sampleRate / static_cast<double>(n);
}
