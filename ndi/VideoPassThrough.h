#pragma once

#include "ndi/BackgroundTask.h"
#include "ndi/RoutingMaps.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// Re-publishes the pictures of each sender's video source beside its audio.
// A pass sends one picture per sender; with clock_video on each send waits
// for the sender's next frame time, so a pass lasts about one frame period.
// It runs on a thread of its own and the audio thread never waits for it.
class VideoPassThrough {
public:
    VideoPassThrough(SenderMap& senders, SenderVideoSources& videoSources, SourceFramesMap& frames,
                     ReceiveSlotList& slots);
    ~VideoPassThrough(); // waits for a running pass

    // Audio thread; never waits. Opens receivers for video sources and starts
    // a pass unless the previous one still runs.
    void processBlock();

    // Any thread: whether the running pass is handling `sender` at this moment.
    bool isBusyWith(const std::string& sender);

    // Audio thread, before a command changes or removes `sender`: true when the
    // running pass (if any) will not touch that sender again; false while the
    // pass is on it, in which case the caller tries again in a later block.
    bool tryKeepOff(const std::string& sender);

    // Whether a pass is going; never waits.
    bool running() { return passTask.running(); }

    // Only while no pass runs: every picture of `frameSync` held by a delay
    // line goes back to it, before it is destroyed.
    void releasePicturesOf(NDIlib_framesync_instance_t frameSync);

    // Teardown: start no new pass, and wait for the one that runs.
    void stop();

private:
    struct Job {
        const std::string* sender = nullptr; // key of `senders`, stable while the job is not cancelled
        SenderState* state = nullptr;
        AVFramesContainer* source = nullptr;
        NDIlib_framesync_instance_t frameSync = nullptr;
        bool cancelled = false;
    };

    void runPass();
    void passOne(Job& job);

    SenderMap& senders;
    SenderVideoSources& videoSources;
    SourceFramesMap& frames;
    ReceiveSlotList& slots;

    std::mutex mutex; // guards busySender and the jobs' cancelled flags
    const std::string* busySender = nullptr;
    std::vector<Job> jobs; // written by the audio thread only while no pass runs
    std::atomic<bool> stopped{false};
    BackgroundTask passTask;
};
