#include "engine/CaptureWorkers.h"

#include <juce_core/juce_core.h>

#include <algorithm>

CaptureWorkers::CaptureWorkers(std::function<void(ReceiveSlot&)> captureSlot, unsigned workers)
    : capture(std::move(captureSlot))
{
    const unsigned n = std::max(workers, 1u);
    for (unsigned i = 0; i < n; ++i)
        threads.emplace_back([this] {
            juce::Thread::setCurrentThreadName("Kestrix capture");
            {
                std::lock_guard lock(mutex);
                workerIds.push_back(RealtimeScheduling::currentThread());
            }
            finished.notify_all();
            work();
        });
    // Every worker is known before its scheduling can be asked for.
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return workerIds.size() == n; });
}

RealtimeScheduling::Grant CaptureWorkers::followClock(bool clockIsRealtime)
{
    std::lock_guard lock(schedulingMutex);
    if (clockIsRealtime == grant.realtime)
        return grant;
    if (clockIsRealtime) {
        for (const int64_t worker : workerIds)
            grant = RealtimeScheduling::raise(worker, RealtimeScheduling::kCapturePriority);
    } else {
        for (const int64_t worker : workerIds)
            RealtimeScheduling::lower(worker);
        grant = {false, "ordinary", 0, "the clock runs at ordinary priority"};
    }
    return grant;
}

RealtimeScheduling::Grant CaptureWorkers::scheduling()
{
    std::lock_guard lock(schedulingMutex);
    return grant;
}

CaptureWorkers::~CaptureWorkers()
{
    waitForAll();
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    started.notify_all();
    for (auto& t : threads)
        t.join();
}

void CaptureWorkers::start(ReceiveSlot* first, size_t count)
{
    {
        std::lock_guard lock(mutex);
        queue = first;
        outstanding = count;
        ++batch;
    }
    if (count > 0)
        started.notify_all();
}

void CaptureWorkers::waitUntil(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(mutex);
    finished.wait_until(lock, deadline, [this] { return outstanding == 0; });
    takeBackQueued();
}

void CaptureWorkers::waitForAll()
{
    std::unique_lock lock(mutex);
    takeBackQueued();
    finished.wait(lock, [this] { return inFlight == 0; });
}

void CaptureWorkers::takeBackQueued()
{
    for (ReceiveSlot* slot = queue; slot != nullptr; slot = slot->nextToCapture)
        slot->captureState.store(ReceiveSlot::CaptureState::idle, std::memory_order_relaxed);
    queue = nullptr;
    outstanding = 0;
    ++batch; // a capture of this batch that ends late counts in none after it
}

void CaptureWorkers::work()
{
    std::unique_lock lock(mutex);
    for (;;) {
        started.wait(lock, [this] { return stopping || queue != nullptr; });
        if (stopping)
            return;
        ReceiveSlot& slot = *queue;
        queue = slot.nextToCapture;
        slot.captureState.store(ReceiveSlot::CaptureState::capturing, std::memory_order_relaxed);
        const unsigned long itsBatch = batch;
        ++inFlight;
        lock.unlock();

        capture(slot);

        lock.lock();
        // Released under the lock, so the audio thread sees the state once it holds it.
        slot.captureState.store(ReceiveSlot::CaptureState::captured, std::memory_order_release);
        --inFlight;
        if ((itsBatch == batch && --outstanding == 0) || inFlight == 0)
            finished.notify_all();
    }
}
