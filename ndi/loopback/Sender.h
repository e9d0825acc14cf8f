#pragma once

#include "Registry.h"
#include "Wire.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

// One published source: a listening socket on 127.0.0.1, its announcement,
// and a thread that accepts receivers and writes queued frames to them.
// Sending only queues, so it returns at once whatever the receivers do.
class Sender {
public:
    static Sender* create(const NDIlib_send_create_t* settings);
    ~Sender();

    void sendAudio(const NDIlib_audio_frame_v2_t& frame);
    void sendVideo(const NDIlib_video_frame_v2_t& frame); // paced to the frame rate when clocked
    void sendMetadata(const NDIlib_metadata_frame_t& frame);
    const NDIlib_source_t* source() const { return &published; }
    int connectionCount(uint32_t timeoutMs);

private:
    struct Connection;

    Sender() = default;
    void serviceConnections();
    void enqueue(Packet* packet, bool isVideo);
    void pace(std::chrono::steady_clock::time_point& nextDue, bool& started, std::chrono::nanoseconds period);
    void wake();

    std::string name;
    std::string address;
    NDIlib_source_t published;
    bool clockVideo = true;
    bool clockAudio = true;
    int listenFd = -1;
    int wakePipe[2] = {-1, -1};
    std::unique_ptr<AnnouncementFile> announcement;

    std::mutex mutex; // guards connections, lastVideo and stopping
    std::condition_variable connectionsChanged;
    std::vector<std::unique_ptr<Connection>> connections;
    Packet* lastVideo = nullptr; // given to receivers that connect later
    bool stopping = false;

    std::mutex paceMutex;
    std::chrono::steady_clock::time_point nextVideoDue, nextAudioDue;
    bool videoClockStarted = false, audioClockStarted = false;

    std::atomic<bool> reportedBadAudio{false}, reportedBadVideo{false};
    PacketPool pool;
    std::thread io;
};

} // namespace loopback
