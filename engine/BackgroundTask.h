#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// One job that runs again and again on a thread of its own, at most one run
// at a time. Starting a run and asking whether one is still going never wait,
// so the audio thread can do both.
class BackgroundTask {
public:
    explicit BackgroundTask(std::function<void()> job);
    ~BackgroundTask(); // waits for a run in progress
    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    // Starts a run unless one is going or the task was stopped; false then.
    bool tryStart();
    // As tryStart(), for the audio thread: the task's own thread holding the
    // lock for a moment counts as a run going, so it never waits on a lock an
    // ordinary thread may hold while preempted.
    bool tryStartNow();
    // Whether a run is going, or starting or ending; never waits on the lock.
    bool running();
    // Blocks until no run is going.
    void wait();
    // Blocks until no run is going; no run starts after it.
    void stop();

private:
    void loop();

    std::function<void()> job;
    std::mutex mutex;
    std::condition_variable changed;
    bool requested = false;
    bool busy = false;
    bool stopping = false;
    bool stopped = false;
    std::thread thread;
};
