#pragma once

#include "Wire.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace loopback {

class FrameSync;

// A frame as it came off the wire, checked; its bytes stay put until the frame is freed.
struct ReceivedFrame {
    std::vector<uint8_t> bytes; // placed so that the payload is aligned for floats
    WireFrame wire; // points into `bytes`
    uint64_t sequence = 0;

    NDIlib_video_frame_v2_t videoFrame() const { return videoDescriptor(wire); }
    // NDI descriptors carry writable pointers; these are the frame's own bytes.
    uint8_t* payload() { return const_cast<uint8_t*>(wire.payload); }
    char* metadata() { return const_cast<char*>(wire.metadata); }
};

// Connects to a source by name and keeps reconnecting while it lives, so a
// source that comes back is received again without any call from the user.
class Receiver {
public:
    static Receiver* create(const NDIlib_recv_create_v3_t* settings);
    ~Receiver();

    NDIlib_frame_type_e capture(NDIlib_video_frame_v2_t* video, NDIlib_audio_frame_v2_t* audio,
        NDIlib_audio_frame_v3_t* audioV3, NDIlib_metadata_frame_t* metadata, uint32_t timeoutMs);
    void freeData(const void* data); // frees whatever capture handed out at that address

    // From now on audio and video go to `sync` instead of the capture queues.
    void attach(const std::shared_ptr<FrameSync>& sync);
    void detach(const FrameSync* sync);

private:
    Receiver() = default;
    void run();
    bool connectOnce(int& fd);
    std::unique_ptr<ReceivedFrame> receiveFrame(int fd);
    void deliver(std::unique_ptr<ReceivedFrame> frame);

    std::string sourceName;
    std::string sourceAddress;
    int bandwidth = NDIlib_recv_bandwidth_highest;
    int wakePipe[2] = {-1, -1};

    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::unique_ptr<ReceivedFrame>> videoQueue, audioQueue, metadataQueue;
    std::map<const void*, std::unique_ptr<ReceivedFrame>> handedOut;
    std::shared_ptr<FrameSync> frameSync;
    bool statusChanged = false;
    bool stopping = false;
    uint64_t nextSequence = 0;
    const char* lastReported = nullptr; // the receiver's thread's; a peer that repeats itself is reported once
    std::thread worker;
};

} // namespace loopback
