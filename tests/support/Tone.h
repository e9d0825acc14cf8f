#pragma once

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <vector>

// How much of a signal is one sine of a known frequency: a least-squares fit
// of that sine, over a whole second or more so leakage stays negligible.
struct ToneFit {
    double amplitude = 0; // peak amplitude of the fitted sine
    double toneFraction = 0; // share of the signal's power the sine explains
};

inline ToneFit fitTone(const std::vector<float>& x, double frequency, double sampleRate)
{
    double a = 0, b = 0, power = 0;
    const double w = 2 * std::numbers::pi * frequency / sampleRate;
    for (size_t n = 0; n < x.size(); ++n) {
        a += x[n] * std::cos(w * static_cast<double>(n));
        b += x[n] * std::sin(w * static_cast<double>(n));
        power += static_cast<double>(x[n]) * x[n];
    }
    const double count = static_cast<double>(x.size());
    ToneFit fit;
    fit.amplitude = 2 * std::sqrt(a * a + b * b) / count;
    fit.toneFraction = power > 0 ? (fit.amplitude * fit.amplitude / 2) / (power / count) : 0;
    return fit;
}

// The largest magnitude in `x`; 0 when it is empty.
inline float peak(const std::vector<float>& x)
{
    return std::accumulate(x.begin(), x.end(), 0.0f, [](float p, float v) { return std::max(p, std::abs(v)); });
}
