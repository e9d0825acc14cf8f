#include "Receiver.h"

#include "FrameSync.h"
#include "Log.h"
#include "Registry.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace loopback {

namespace {

constexpr size_t kMaxQueuedVideo = 8;
constexpr size_t kMaxQueuedAudio = 200;
constexpr size_t kMaxQueuedMetadata = 64;
constexpr auto kRetryInterval = std::chrono::milliseconds(100);
constexpr size_t kPayloadAlignment = 16; // what a new'd buffer starts at, and more than floats need

void push(std::deque<std::unique_ptr<ReceivedFrame>>& queue, std::unique_ptr<ReceivedFrame> frame, size_t limit)
{
    // A caller that does not capture loses the oldest frames, as with any live source.
    if (queue.size() == limit)
        queue.pop_front();
    queue.push_back(std::move(frame));
}

} // namespace

Receiver* Receiver::create(const NDIlib_recv_create_v3_t* settings)
{
    std::unique_ptr<Receiver> r(new Receiver);
    if (settings != nullptr) {
        const NDIlib_source_t& s = settings->source_to_connect_to;
        r->sourceName = s.p_ndi_name != nullptr ? s.p_ndi_name : "";
        r->sourceAddress = s.p_url_address != nullptr ? s.p_url_address : "";
        r->bandwidth = settings->bandwidth;
    }
    if (::pipe2(r->wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        logLine("cannot create a receiver: %s", std::strerror(errno));
        return nullptr;
    }
    r->worker = std::thread([raw = r.get()] { raw->run(); });
    return r.release();
}

Receiver::~Receiver()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);
    worker.join();
    ::close(wakePipe[0]);
    ::close(wakePipe[1]);
}

bool Receiver::connectOnce(int& fd)
{
    int port = 0;
    for (const Announcement& a : listAnnouncements())
        if (!sourceName.empty() && a.name == sourceName)
            port = a.port;
    if (port == 0 && sourceName.empty() && sourceAddress.rfind("127.0.0.1:", 0) == 0)
        port = std::atoi(sourceAddress.c_str() + 10);
    if (port <= 0 || port > 65535)
        return false;

    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    WireHello hello;
    hello.bandwidth = bandwidth;
    const int on = 1;
    if (fd >= 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        !sendAll(fd, &hello, sizeof hello)) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        return false;
    }
    return true;
}

std::unique_ptr<ReceivedFrame> Receiver::receiveFrame(int fd)
{
    WireHeader header;
    if (!receiveAll(fd, wakePipe[0], &header, sizeof header))
        return nullptr;
    auto frame = std::make_unique<ReceivedFrame>();
    // Only a header worth believing decides how much is allocated and read.
    const char* problem = checkHeader(header);
    if (problem == nullptr) {
        const size_t size = sizeof header + header.metadataBytes + header.payloadBytes;
        const size_t pad =
            (kPayloadAlignment - (sizeof header + header.metadataBytes) % kPayloadAlignment) % kPayloadAlignment;
        frame->bytes.resize(pad + size);
        uint8_t* start = frame->bytes.data() + pad;
        std::memcpy(start, &header, sizeof header);
        if (!receiveAll(fd, wakePipe[0], start + sizeof header, size - sizeof header))
            return nullptr;
        problem = parseFrame(start, size, frame->wire);
    }
    if (problem == nullptr)
        return frame;
    if (problem != lastReported)
        logLine("receiver of %s: %s (kind %u, %dx%d, stride %d, %u bytes of metadata, %u of media); "
                "connection dropped",
            sourceName.c_str(), problem, static_cast<unsigned>(header.kind), header.xres, header.yres,
            header.strideOrSize, header.metadataBytes, header.payloadBytes);
    lastReported = problem;
    return nullptr;
}

void Receiver::run()
{
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return;
        }
        int fd = -1;
        if (!connectOnce(fd)) {
            pollfd wake{wakePipe[0], POLLIN, 0};
            ::poll(&wake, 1, static_cast<int>(kRetryInterval.count()));
            continue;
        }
        {
            std::lock_guard lock(mutex);
            statusChanged = true;
        }
        arrived.notify_all();

        while (auto frame = receiveFrame(fd))
            deliver(std::move(frame));
        ::close(fd);
        pollfd wake{wakePipe[0], POLLIN, 0};
        ::poll(&wake, 1, static_cast<int>(kRetryInterval.count()));
    }
}

void Receiver::deliver(std::unique_ptr<ReceivedFrame> frame)
{
    std::shared_ptr<FrameSync> sync;
    {
        std::lock_guard lock(mutex);
        frame->sequence = nextSequence++;
        sync = frameSync;
        if (!sync || frame->wire.header.kind == WireKind::metadata) {
            switch (frame->wire.header.kind) {
            case WireKind::video: push(videoQueue, std::move(frame), kMaxQueuedVideo); break;
            case WireKind::audio: push(audioQueue, std::move(frame), kMaxQueuedAudio); break;
            case WireKind::metadata: push(metadataQueue, std::move(frame), kMaxQueuedMetadata); break;
            }
        }
    }
    if (!frame) {
        arrived.notify_all();
        return;
    }
    if (frame->wire.header.kind == WireKind::audio)
        sync->pushAudio(*frame);
    else
        sync->pushVideo(std::move(frame));
}

void Receiver::attach(const std::shared_ptr<FrameSync>& sync)
{
    std::lock_guard lock(mutex);
    frameSync = sync;
    videoQueue.clear();
    audioQueue.clear();
}

void Receiver::detach(const FrameSync* sync)
{
    std::lock_guard lock(mutex);
    if (frameSync.get() == sync)
        frameSync.reset();
}

NDIlib_frame_type_e Receiver::capture(NDIlib_video_frame_v2_t* video, NDIlib_audio_frame_v2_t* audio,
    NDIlib_audio_frame_v3_t* audioV3, NDIlib_metadata_frame_t* metadata, uint32_t timeoutMs)
{
    const bool wantAudio = audio != nullptr || audioV3 != nullptr;
    std::unique_lock lock(mutex);
    // The oldest frame of a kind the caller asked for.
    auto pick = [&]() -> std::deque<std::unique_ptr<ReceivedFrame>>* {
        std::deque<std::unique_ptr<ReceivedFrame>>* best = nullptr;
        auto consider = [&](bool wanted, std::deque<std::unique_ptr<ReceivedFrame>>& q) {
            if (wanted && !q.empty() && (best == nullptr || q.front()->sequence < best->front()->sequence))
                best = &q;
        };
        consider(video != nullptr, videoQueue);
        consider(wantAudio, audioQueue);
        consider(metadata != nullptr, metadataQueue);
        return best;
    };
    std::deque<std::unique_ptr<ReceivedFrame>>* queue = nullptr;
    arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        queue = pick();
        return statusChanged || queue != nullptr;
    });
    if (statusChanged) {
        statusChanged = false;
        return NDIlib_frame_type_status_change;
    }
    if (queue == nullptr)
        return NDIlib_frame_type_none;

    std::unique_ptr<ReceivedFrame> frame = std::move(queue->front());
    queue->pop_front();
    const WireHeader& h = frame->wire.header;
    const char* text = frame->wire.metadata;
    const void* key = nullptr;
    NDIlib_frame_type_e type = NDIlib_frame_type_none;
    switch (h.kind) {
    case WireKind::video: {
        *video = frame->videoFrame();
        key = video->p_data;
        type = NDIlib_frame_type_video;
        break;
    }
    case WireKind::audio:
        if (audio != nullptr) {
            NDIlib_audio_frame_v2_t a;
            a.sample_rate = h.sampleRate;
            a.no_channels = h.channels;
            a.no_samples = h.samples;
            a.timecode = h.timecode;
            a.p_data = reinterpret_cast<float*>(frame->payload());
            a.channel_stride_in_bytes = h.samples * 4;
            a.p_metadata = text;
            a.timestamp = h.timestamp;
            *audio = a;
        } else {
            NDIlib_audio_frame_v3_t a;
            a.sample_rate = h.sampleRate;
            a.no_channels = h.channels;
            a.no_samples = h.samples;
            a.timecode = h.timecode;
            a.FourCC = NDIlib_FourCC_audio_type_FLTP;
            a.p_data = frame->payload();
            a.channel_stride_in_bytes = h.samples * 4;
            a.p_metadata = text;
            a.timestamp = h.timestamp;
            *audioV3 = a;
        }
        key = frame->payload();
        type = NDIlib_frame_type_audio;
        break;
    case WireKind::metadata:
        metadata->length = static_cast<int>(h.metadataBytes);
        metadata->timecode = h.timecode;
        metadata->p_data = frame->metadata();
        key = frame->metadata();
        type = NDIlib_frame_type_metadata;
        break;
    }
    handedOut.emplace(key, std::move(frame));
    return type;
}

void Receiver::freeData(const void* data)
{
    if (data == nullptr)
        return;
    std::unique_ptr<ReceivedFrame> frame;
    std::lock_guard lock(mutex);
    if (auto it = handedOut.find(data); it != handedOut.end()) {
        frame = std::move(it->second);
        handedOut.erase(it);
    }
}

} // namespace loopback
