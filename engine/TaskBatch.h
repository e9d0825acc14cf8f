#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Runs a batch of numbered jobs on worker threads that live as long as the
// batch object. Starting and joining a batch allocate nothing and create no
// thread, so the audio thread can do both every block.
class TaskBatch {
public:
    TaskBatch(std::function<void(size_t index)> job, unsigned workers);
    ~TaskBatch();
    TaskBatch(const TaskBatch&) = delete;
    TaskBatch& operator=(const TaskBatch&) = delete;

    // Any one thread at a time. Waits for the previous batch, then starts
    // jobs 0 .. count − 1 and returns at once.
    void start(size_t count);
    // Blocks until every job of the current batch has finished.
    void wait();

private:
    void work();

    std::function<void(size_t)> job;
    std::mutex mutex;
    std::condition_variable started, finished;
    size_t count = 0;
    size_t next = 0;
    size_t done = 0;
    unsigned long generation = 0;
    bool stopping = false;
    std::vector<std::thread> threads;
};
