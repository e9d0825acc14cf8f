#include "server/RateBudget.h"

#include <algorithm>

RateBudget::RateBudget(double perSecond, double burst) : rate(perSecond), capacity(burst), tokens(burst) { }

bool RateBudget::take(double amount)
{
    const auto now = Clock::now();
    tokens = std::min(capacity, tokens + std::chrono::duration<double>(now - refilled).count() * rate);
    refilled = now;
    if (tokens < amount)
        return false;
    tokens -= amount;
    return true;
}
