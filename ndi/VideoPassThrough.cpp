#include "ndi/VideoPassThrough.h"

#include "ndi/NdiLibrary.h"

VideoPassThrough::VideoPassThrough(SenderMap& sendersMap, SenderVideoSources& sources, SourceFramesMap& framesMap,
                                   ReceiveSlotList& slotList)
    : senders(sendersMap)
    , videoSources(sources)
    , frames(framesMap)
    , slots(slotList)
    , passTask([this] { runPass(); })
{
    jobs.reserve(64);
}

VideoPassThrough::~VideoPassThrough()
{
    stop();
}

void VideoPassThrough::stop()
{
    stopped = true;
    passTask.wait();
}

void VideoPassThrough::processBlock()
{
    if (stopped || passTask.running())
        return; // never wait for the pass: a pass lasts about a frame period

    jobs.clear();
    for (ReceiveSlot& slot : slots) {
        if (!slot.active)
            continue;
        bool wanted = false;
        for (const auto& [senderName, sourceName] : videoSources)
            wanted = wanted || sourceName == slot.sourceName;
        if (!wanted)
            continue;
        if (slot.frameSync == nullptr) {
            slot.openReceiver(); // its first picture comes in a later pass
            continue;
        }
        const auto container = frames.find(slot.sourceName);
        if (container == frames.end())
            continue;
        container->second->frameSync = slot.frameSync;
        for (const auto& [senderName, sourceName] : videoSources) {
            const auto sender = senders.find(senderName);
            if (sourceName != slot.sourceName || sender == senders.end() || sender->second.sendInstance == nullptr)
                continue;
            jobs.push_back(Job{&sender->first, &sender->second, container->second.get(), slot.frameSync, false});
        }
    }
    if (!jobs.empty())
        passTask.tryStart();
}

bool VideoPassThrough::isBusyWith(const std::string& sender)
{
    std::lock_guard lock(mutex);
    return busySender != nullptr && *busySender == sender;
}

bool VideoPassThrough::tryKeepOff(const std::string& sender)
{
    std::lock_guard lock(mutex);
    if (busySender != nullptr && *busySender == sender)
        return false;
    if (!passTask.running())
        return true;
    for (Job& job : jobs)
        if (!job.cancelled && *job.sender == sender)
            job.cancelled = true;
    return true;
}

void VideoPassThrough::releasePicturesOf(NDIlib_framesync_instance_t frameSync)
{
    for (auto& [name, sender] : senders)
        sender.delayLine->releasePictures(frameSync);
}

void VideoPassThrough::runPass()
{
    for (Job& job : jobs) {
        {
            std::lock_guard lock(mutex);
            if (job.cancelled || stopped)
                continue;
            busySender = job.sender;
        }
        passOne(job);
        std::lock_guard lock(mutex);
        busySender = nullptr;
    }
}

void VideoPassThrough::passOne(Job& job)
{
    AVFramesContainer& source = *job.source;
    ndi().framesync_capture_video(job.frameSync, &source.videoFrame, NDIlib_frame_format_type_progressive);
    if (source.videoFrame.timecode == 0 || source.videoFrame.p_data == nullptr) {
        ndi().framesync_free_video(job.frameSync, &source.videoFrame); // nothing received yet
        source.videoFrame = NDIlib_video_frame_v2_t{};
        return;
    }
    AVDelayLine& line = *job.state->delayLine;
    HeldPicture picture{source.videoFrame, job.frameSync};
    source.videoFrame = NDIlib_video_frame_v2_t{};
    line.setPictureRate(picture.frame.frame_rate_N, picture.frame.frame_rate_D);
    line.delayVideo(picture);
    // While a rebuilt ring fills, what comes out of it holds no picture: nothing to send.
    if (picture.frame.p_data == nullptr)
        return;
    ndi().send_send_video_v2(job.state->sendInstance, &picture.frame);
    ndi().framesync_free_video(picture.from, &picture.frame);
}
