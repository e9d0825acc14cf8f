#pragma once

#include "engine/BackgroundTask.h"
#include "engine/RoutingMaps.h"

#include <atomic>
#include <memory>
#include <vector>

// Re-publishes the pictures of each sender's video source beside its audio.
// A pass sends one picture per sender; with clock_video on each send waits
// for the sender's next frame time, so a pass lasts about one frame period.
//
// Threads: processBlock on the audio thread, which never waits for a pass; the
// pass on a thread of its own. A pass works on its own references to the
// senders' outputs and the sources' receivers, so the routing may change or
// drop them at any time; the last to let go frees them.
class VideoPassThrough {
public:
    VideoPassThrough(SenderMap& senders, SourceIndex& sources);
    ~VideoPassThrough(); // waits for a running pass

    // Audio thread; never waits. Starts a pass over every sender whose video
    // source is received, unless the previous pass still runs.
    void processBlock();

    // Whether a pass is going; never waits.
    bool running() { return passTask.running(); }

    // Teardown: start no new pass, and wait for the one that runs.
    void stop();

private:
    struct Job {
        std::shared_ptr<SenderOutput> output;
        SourceReceiverRef source;
    };

    void runPass();
    void passOne(Job& job);

    SenderMap& senders;
    SourceIndex& sources;
    // Filled by the audio thread while no pass runs, emptied by the pass before it ends.
    std::vector<Job> jobs;
    BackgroundTask passTask;
};
