#pragma once

// Threads: one thread per budget (the one its client lives on).

#include <chrono>

// How much a client may do: `perSecond` on average and up to `burst` at once
// (a token bucket). One client's budget says nothing of another's.
class RateBudget {
public:
    // The bytes one remote client (a page's channel, an Ember+ consumer) may send: far above what either needs.
    static constexpr double kClientBytesPerSecond = 1024 * 1024;
    static constexpr double kClientByteBurst = 4 * 1024 * 1024;

    RateBudget(double perSecond, double burst);

    // Takes `amount` when the budget holds it; otherwise takes nothing and answers false.
    bool take(double amount = 1);

private:
    using Clock = std::chrono::steady_clock;
    double rate;
    double capacity;
    double tokens;
    Clock::time_point refilled = Clock::now();
};
