#include "engine/BackgroundTask.h"

BackgroundTask::BackgroundTask(std::function<void()> jobToRun) : job(std::move(jobToRun))
{
    thread = std::thread([this] { loop(); });
}

BackgroundTask::~BackgroundTask()
{
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return !busy && !requested; });
        stopping = true;
    }
    changed.notify_all();
    thread.join();
}

bool BackgroundTask::tryStart()
{
    {
        std::lock_guard lock(mutex);
        if (busy || requested || stopping || stopped)
            return false;
        requested = true;
    }
    changed.notify_all();
    return true;
}

bool BackgroundTask::tryStartNow()
{
    {
        std::unique_lock lock(mutex, std::try_to_lock);
        if (!lock.owns_lock() || busy || requested || stopping || stopped)
            return false;
        requested = true;
    }
    changed.notify_all();
    return true;
}

bool BackgroundTask::running()
{
    std::unique_lock lock(mutex, std::try_to_lock);
    return !lock.owns_lock() || busy || requested;
}

void BackgroundTask::wait()
{
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return !busy && !requested; });
}

void BackgroundTask::stop()
{
    std::unique_lock lock(mutex);
    stopped = true;
    changed.wait(lock, [this] { return !busy && !requested; });
}

void BackgroundTask::loop()
{
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return requested || stopping; });
        if (stopping)
            return;
        requested = false;
        busy = true;
        lock.unlock();
        job();
        lock.lock();
        busy = false;
        changed.notify_all();
    }
}
