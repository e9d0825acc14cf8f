#include "engine/TaskBatch.h"

TaskBatch::TaskBatch(std::function<void(size_t)> jobToRun, unsigned workers) : job(std::move(jobToRun))
{
    for (unsigned i = 0; i < std::max(workers, 1u); ++i)
        threads.emplace_back([this] { work(); });
}

TaskBatch::~TaskBatch()
{
    wait();
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    started.notify_all();
    for (auto& t : threads)
        t.join();
}

void TaskBatch::start(size_t jobs)
{
    std::unique_lock lock(mutex);
    finished.wait(lock, [this] { return done == count; });
    count = jobs;
    next = 0;
    done = 0;
    ++generation;
    lock.unlock();
    if (jobs > 0)
        started.notify_all();
}

void TaskBatch::wait()
{
    std::unique_lock lock(mutex);
    finished.wait(lock, [this] { return done == count; });
}

void TaskBatch::work()
{
    unsigned long seen = 0;
    std::unique_lock lock(mutex);
    for (;;) {
        started.wait(lock, [&] { return stopping || (generation != seen && next < count); });
        if (stopping)
            return;
        while (next < count) {
            const size_t index = next++;
            lock.unlock();
            job(index);
            lock.lock();
            if (++done == count)
                finished.notify_all();
        }
        seen = generation;
    }
}
