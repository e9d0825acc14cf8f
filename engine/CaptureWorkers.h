#pragma once

// Threads: start and collect on the audio thread, which never waits past the deadline it gives; captures on the
// workers; construction, waitForAll and destruction on any other thread.

#include "engine/RealtimeScheduling.h"
#include "engine/ReceiveSlot.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Captures the next block of each source on worker threads, which take the
// slots one at a time, so one slow source holds up no other. The audio
// thread waits for a batch only until a deadline inside its block: a slot
// whose capture has not ended by then is left to its worker, and the audio
// thread keeps off it until the capture has ended, so a block is never read
// half-written. A slot no worker has begun goes back untouched.
//
// A slot's captureState tells who has it: idle (the audio thread), queued,
// capturing (a worker), captured (ended; the audio thread takes it back).
class CaptureWorkers {
public:
    // Starts `workers` threads at ordinary priority.
    CaptureWorkers(std::function<void(ReceiveSlot&)> capture, unsigned workers);
    ~CaptureWorkers(); // waits for the captures in flight
    CaptureWorkers(const CaptureWorkers&) = delete;
    CaptureWorkers& operator=(const CaptureWorkers&) = delete;

    // Audio thread: hands over the `count` idle slots linked through
    // nextToCapture from `first`, whose state it has set to queued.
    void start(ReceiveSlot* first, size_t count);
    // Audio thread: waits until every slot handed over has been captured, or
    // until `deadline`; the slots no worker has begun are then idle again.
    void waitUntil(std::chrono::steady_clock::time_point deadline);
    // Any thread but the audio thread, once no block runs: takes back what is
    // queued and waits for every capture in flight.
    void waitForAll();

    // Any thread but the audio thread: the workers ask for real-time
    // scheduling while the clock they serve has it, and give it up when it
    // has not, as they would only hold cores from the threads that feed them.
    // Returns what they got (all ask alike).
    RealtimeScheduling::Grant followClock(bool clockIsRealtime);
    // Any thread: what the workers got.
    RealtimeScheduling::Grant scheduling();
    size_t count() const { return threads.size(); }

private:
    void work();
    // Under `mutex`: what is queued goes back to the audio thread.
    void takeBackQueued();

    std::function<void(ReceiveSlot&)> capture;
    std::mutex mutex;
    std::condition_variable started, finished;
    ReceiveSlot* queue = nullptr; // under mutex
    size_t outstanding = 0; // slots of the current batch not yet captured; under mutex
    size_t inFlight = 0; // captures going on, of any batch; under mutex
    unsigned long batch = 0; // under mutex
    bool stopping = false; // under mutex
    std::vector<int64_t> workerIds; // the system's ids of the workers; fixed once constructed
    // Never held with `mutex`: asking for a policy may wait on D-Bus, and the audio thread takes `mutex`.
    std::mutex schedulingMutex;
    RealtimeScheduling::Grant grant{false, "ordinary", 0, "the clock has not started"}; // under schedulingMutex
    std::vector<std::thread> threads;
};
