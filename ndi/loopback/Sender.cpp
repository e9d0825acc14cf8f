#include "Sender.h"

#include "Log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace loopback {

namespace {

constexpr size_t kRingSize = 512;
constexpr size_t kMaxQueuedBytes = 32u << 20;

int64_t utcNow100ns()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

void fillTimes(WireHeader& h, int64_t timecode)
{
    h.timestamp = utcNow100ns();
    h.timecode = timecode == NDIlib_send_timecode_synthesize ? h.timestamp : timecode;
}

uint32_t metadataBytes(const char* text)
{
    if (text == nullptr)
        return 0;
    const size_t n = std::strlen(text) + 1;
    return n <= kMaxMetadata ? static_cast<uint32_t>(n) : 0;
}

} // namespace

struct Sender::Connection {
    int fd = -1;
    WireHello hello;
    size_t helloBytes = 0;
    bool ready = false;
    bool wantsVideo = true;
    Packet* ring[kRingSize] = {};
    size_t head = 0, count = 0, offset = 0, queuedBytes = 0;
};

Sender* Sender::create(const NDIlib_send_create_t* settings)
{
    NDIlib_send_create_t defaults;
    if (settings == nullptr)
        settings = &defaults;
    std::string stream = settings->p_ndi_name != nullptr ? settings->p_ndi_name : "";
    if (stream.empty())
        stream = program_invocation_short_name;

    std::unique_ptr<Sender> s(new Sender);
    s->clockVideo = settings->clock_video;
    s->clockAudio = settings->clock_audio;
    s->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (s->listenFd < 0 || ::bind(s->listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(s->listenFd, 64) != 0 || ::getsockname(s->listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::pipe2(s->wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        logLine("cannot create sender %s: %s", stream.c_str(), std::strerror(errno));
        return nullptr;
    }
    const int port = ntohs(addr.sin_port);
    s->announcement = AnnouncementFile::publish(stream, port);
    if (!s->announcement)
        return nullptr;
    s->name = s->announcement->fullName();
    s->address = "127.0.0.1:" + std::to_string(port);
    s->published.p_ndi_name = s->name.c_str();
    s->published.p_url_address = s->address.c_str();
    s->io = std::thread([raw = s.get()] { raw->serviceConnections(); });
    return s.release();
}

Sender::~Sender()
{
    if (io.joinable()) {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake();
        io.join();
    }
    announcement.reset(); // unannounce before the port closes
    for (auto& c : connections) {
        for (; c->count > 0; --c->count, c->head = (c->head + 1) % kRingSize)
            pool.release(c->ring[c->head]);
        ::close(c->fd);
    }
    if (lastVideo != nullptr)
        pool.release(lastVideo);
    for (int fd : {listenFd, wakePipe[0], wakePipe[1]})
        if (fd >= 0)
            ::close(fd);
}

void Sender::wake()
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);
}

void Sender::enqueue(Packet* packet, bool isVideo)
{
    bool queued = false;
    {
        std::lock_guard lock(mutex);
        packet->references.store(1); // ours, until the loop below is done
        for (auto& c : connections) {
            if (!c->ready || (isVideo && !c->wantsVideo))
                continue;
            // A receiver that does not keep up loses frames; the sender never waits for it.
            if (c->count == kRingSize || c->queuedBytes + packet->bytes.size() > kMaxQueuedBytes)
                continue;
            packet->references.fetch_add(1);
            c->ring[(c->head + c->count) % kRingSize] = packet;
            ++c->count;
            c->queuedBytes += packet->bytes.size();
            queued = true;
        }
        if (isVideo) {
            packet->references.fetch_add(1);
            std::swap(lastVideo, packet);
            if (packet != nullptr)
                pool.release(packet); // the previous picture
            packet = lastVideo;
        }
    }
    pool.release(packet);
    if (queued)
        wake();
}

void Sender::pace(std::chrono::steady_clock::time_point& nextDue, bool& started, std::chrono::nanoseconds period)
{
    const auto now = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point due;
    {
        std::lock_guard lock(paceMutex);
        if (!started || now > nextDue + period) {
            nextDue = now; // first frame, or after a stall: start afresh rather than burst
            started = true;
        }
        due = nextDue;
        nextDue += period;
    }
    if (due > now)
        std::this_thread::sleep_until(due);
}

void Sender::sendAudio(const NDIlib_audio_frame_v2_t& frame)
{
    const int stride = frame.channel_stride_in_bytes > 0 ? frame.channel_stride_in_bytes : frame.no_samples * 4;
    if (frame.p_data == nullptr || frame.no_channels < 1 || frame.no_channels > kMaxChannels || frame.no_samples < 1 ||
        frame.no_samples > kMaxSamples || frame.sample_rate < kMinSampleRate || frame.sample_rate > kMaxSampleRate ||
        stride < frame.no_samples * 4) {
        if (!reportedBadAudio.exchange(true))
            logLine("sender %s: audio frame refused (%d channels, %d samples, %d Hz, stride %d)", name.c_str(),
                frame.no_channels, frame.no_samples, frame.sample_rate, frame.channel_stride_in_bytes);
        return;
    }
    if (clockAudio)
        pace(nextAudioDue, audioClockStarted,
            std::chrono::nanoseconds(static_cast<int64_t>(frame.no_samples) * 1000000000 / frame.sample_rate));

    WireHeader h;
    h.kind = WireKind::audio;
    h.sampleRate = frame.sample_rate;
    h.channels = frame.no_channels;
    h.samples = frame.no_samples;
    h.metadataBytes = metadataBytes(frame.p_metadata);
    h.payloadBytes = static_cast<uint32_t>(frame.no_channels) * static_cast<uint32_t>(frame.no_samples) * 4;
    fillTimes(h, frame.timecode);

    Packet* packet = pool.acquire(sizeof h + h.metadataBytes + h.payloadBytes);
    uint8_t* out = packet->bytes.data();
    std::memcpy(out, &h, sizeof h);
    out += sizeof h;
    if (h.metadataBytes > 0)
        std::memcpy(out, frame.p_metadata, h.metadataBytes);
    out += h.metadataBytes;
    const auto* in = reinterpret_cast<const uint8_t*>(frame.p_data);
    const size_t plane = static_cast<size_t>(frame.no_samples) * 4;
    for (int c = 0; c < frame.no_channels; ++c)
        std::memcpy(out + c * plane, in + static_cast<size_t>(c) * static_cast<size_t>(stride), plane);
    enqueue(packet, false);
}

void Sender::sendVideo(const NDIlib_video_frame_v2_t& frame)
{
    WireHeader h;
    h.kind = WireKind::video;
    h.xres = frame.xres;
    h.yres = frame.yres;
    h.fourCC = static_cast<int32_t>(frame.FourCC);
    h.rateN = frame.frame_rate_N;
    h.rateD = frame.frame_rate_D;
    h.formatType = frame.frame_format_type;
    h.aspect = frame.picture_aspect_ratio;
    h.metadataBytes = metadataBytes(frame.p_metadata);
    h.payloadBytes = frame.p_data != nullptr ? videoPayloadBytes(frame, h.strideOrSize) : 0;
    // What a receiver would refuse is never sent.
    if (const char* problem = checkHeader(h)) {
        if (!reportedBadVideo.exchange(true))
            logLine("sender %s: video frame refused: %s (%dx%d, FourCC %08x, stride %d, %d/%d)", name.c_str(), problem,
                frame.xres, frame.yres, static_cast<unsigned>(frame.FourCC), frame.line_stride_in_bytes,
                frame.frame_rate_N, frame.frame_rate_D);
        return;
    }
    if (clockVideo)
        pace(nextVideoDue, videoClockStarted,
            std::chrono::nanoseconds(static_cast<int64_t>(frame.frame_rate_D) * 1000000000 / frame.frame_rate_N));
    fillTimes(h, frame.timecode);

    Packet* packet = pool.acquire(sizeof h + h.metadataBytes + h.payloadBytes);
    std::memcpy(packet->bytes.data(), &h, sizeof h);
    if (h.metadataBytes > 0)
        std::memcpy(packet->bytes.data() + sizeof h, frame.p_metadata, h.metadataBytes);
    std::memcpy(packet->bytes.data() + sizeof h + h.metadataBytes, frame.p_data, h.payloadBytes);
    enqueue(packet, true);
}

void Sender::sendMetadata(const NDIlib_metadata_frame_t& frame)
{
    WireHeader h;
    h.kind = WireKind::metadata;
    h.metadataBytes = metadataBytes(frame.p_data);
    if (h.metadataBytes == 0)
        return;
    fillTimes(h, frame.timecode);
    Packet* packet = pool.acquire(sizeof h + h.metadataBytes);
    std::memcpy(packet->bytes.data(), &h, sizeof h);
    std::memcpy(packet->bytes.data() + sizeof h, frame.p_data, h.metadataBytes);
    enqueue(packet, false);
}

int Sender::connectionCount(uint32_t timeoutMs)
{
    std::unique_lock lock(mutex);
    auto readyCount = [this] {
        int n = 0;
        for (auto& c : connections)
            n += c->ready ? 1 : 0;
        return n;
    };
    connectionsChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return readyCount() > 0; });
    return readyCount();
}

void Sender::serviceConnections()
{
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wakePipe[0], POLLIN, 0});
        fds.push_back({listenFd, POLLIN, 0});
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return;
            for (auto& c : connections)
                fds.push_back({c->fd, static_cast<short>(POLLIN | (c->count > 0 ? POLLOUT : 0)), 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;

        char drain[64];
        while (::read(wakePipe[0], drain, sizeof drain) > 0) { }

        if ((fds[1].revents & POLLIN) != 0) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                // Frames are small and due now: never hold one back to fill a packet.
                const int on = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                auto c = std::make_unique<Connection>();
                c->fd = fd;
                std::lock_guard lock(mutex);
                connections.push_back(std::move(c));
            }
        }

        // Only this thread removes connections, so the entries polled are still there.
        for (size_t i = 2; i < fds.size(); ++i) {
            Connection* c = nullptr;
            {
                std::lock_guard lock(mutex);
                c = connections[i - 2].get();
            }
            bool closed = (fds[i].revents & (POLLERR | POLLNVAL)) != 0;
            if (!closed && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                uint8_t incoming[256];
                const ssize_t n = ::recv(c->fd, incoming, sizeof incoming, 0);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                    closed = true;
                for (ssize_t k = 0; k < n && c->helloBytes < sizeof c->hello; ++k)
                    reinterpret_cast<uint8_t*>(&c->hello)[c->helloBytes++] = incoming[k];
                if (!closed && !c->ready && c->helloBytes == sizeof c->hello) {
                    if (const char* problem = checkHello(c->hello)) {
                        logLine("sender %s: a peer was refused: %s", name.c_str(), problem);
                        closed = true;
                    } else {
                        std::lock_guard lock(mutex);
                        c->ready = true;
                        c->wantsVideo = c->hello.bandwidth != NDIlib_recv_bandwidth_audio_only &&
                            c->hello.bandwidth != NDIlib_recv_bandwidth_metadata_only;
                        if (c->wantsVideo && lastVideo != nullptr) {
                            lastVideo->references.fetch_add(1);
                            c->ring[(c->head + c->count++) % kRingSize] = lastVideo;
                            c->queuedBytes += lastVideo->bytes.size();
                        }
                        connectionsChanged.notify_all();
                    }
                }
            }
            while (!closed) {
                Packet* front = nullptr;
                size_t offset = 0;
                {
                    std::lock_guard lock(mutex);
                    if (c->count == 0)
                        break;
                    front = c->ring[c->head];
                    offset = c->offset;
                }
                const ssize_t n =
                    ::send(c->fd, front->bytes.data() + offset, front->bytes.size() - offset, MSG_NOSIGNAL);
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    break;
                if (n <= 0) {
                    closed = true;
                    break;
                }
                std::lock_guard lock(mutex);
                c->offset += static_cast<size_t>(n);
                if (c->offset == front->bytes.size()) {
                    c->offset = 0;
                    c->queuedBytes -= front->bytes.size();
                    c->head = (c->head + 1) % kRingSize;
                    --c->count;
                    pool.release(front);
                }
            }
            if (closed) {
                std::lock_guard lock(mutex);
                for (; c->count > 0; --c->count, c->head = (c->head + 1) % kRingSize)
                    pool.release(c->ring[c->head]);
                ::close(c->fd);
                c->fd = -1;
            }
        }
        std::lock_guard lock(mutex);
        std::erase_if(connections, [](const auto& c) { return c->fd < 0; });
        connectionsChanged.notify_all();
    }
}

} // namespace loopback
