#include "engine/VideoPassThrough.h"

#include "ndi/NdiLibrary.h"

namespace {

// Room for the jobs of every sender a show could have; the audio thread never grows it.
constexpr size_t kMaxJobs = 4096;

} // namespace

VideoPassThrough::VideoPassThrough(SenderMap& sendersMap, SourceIndex& sourceIndex)
    : senders(sendersMap), sources(sourceIndex), passTask([this] { runPass(); })
{
    jobs.reserve(kMaxJobs);
}

VideoPassThrough::~VideoPassThrough()
{
    stop();
}

void VideoPassThrough::stop()
{
    passTask.stop();
}

void VideoPassThrough::processBlock()
{
    if (passTask.running())
        return; // never wait for the pass: a pass lasts about a frame period

    for (auto& [name, sender] : senders) {
        if (sender.videoSource.empty() || !sender.output || sender.output->instance() == nullptr ||
            jobs.size() == jobs.capacity())
            continue;
        const auto source = sources.find(sender.videoSource);
        if (source == sources.end() || !source->second->active || !source->second->receiver)
            continue; // its receiver comes in a later block
        jobs.push_back(Job{sender.output, source->second->receiver});
    }
    if (!jobs.empty())
        passTask.tryStartNow();
}

void VideoPassThrough::runPass()
{
    for (Job& job : jobs)
        passOne(job);
    // Let go here, not on the audio thread: the last reference frees.
    jobs.clear();
}

void VideoPassThrough::passOne(Job& job)
{
    HeldPicture picture{NDIlib_video_frame_v2_t{}, job.source};
    ndi().framesync_capture_video(job.source->frameSync, &picture.frame, NDIlib_frame_format_type_progressive);
    if (picture.frame.timecode == 0 || picture.frame.p_data == nullptr) {
        ndi().framesync_free_video(job.source->frameSync, &picture.frame); // nothing received yet
        return;
    }
    AVDelayLine& line = job.output->delayLine;
    line.setPictureRate(picture.frame.frame_rate_N, picture.frame.frame_rate_D);
    // While the ring fills, it has no picture for this moment: nothing to send.
    if (const NDIlib_video_frame_v2_t* out = line.delayVideo(picture)) {
        ndi().send_send_video_v2(job.output->instance(), out);
        job.output->videoFramesSent.fetch_add(1, std::memory_order_relaxed);
        job.output->lastVideoSentNanos.store(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count(),
            std::memory_order_relaxed);
    }
    if (picture.frame.p_data != nullptr)
        ndi().framesync_free_video(picture.from->frameSync, &picture.frame);
}
