// The loopback runtime, driven through the loader's table exactly as Kestrix
// drives a real NDI runtime: senders, receivers and frame-syncs in one process,
// talking over real sockets.

#include "ndi/NdiLibrary.h"
#include "support/LoopbackEnvironment.h"
#include "support/RoguePeer.h"
#include "support/Tone.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 512;

// Publishes channel c as a sine of 375·(c+1) Hz, peak 1.0, in blocks paced
// like a real source: an absolute schedule of one block per 512/48000 s.
class ToneSender {
public:
    ToneSender(const std::string& name, int channelCount, int sampleRate) : channels(channelCount), rate(sampleRate)
    {
        NDIlib_send_create_t settings;
        settings.p_ndi_name = name.c_str();
        settings.clock_audio = false;
        instance = ndi().send_create_v2(&settings, nullptr);
        worker = std::thread([this] { run(); });
    }
    ~ToneSender() { stop(); }

    void stop()
    {
        running = false;
        if (worker.joinable())
            worker.join();
        if (instance != nullptr)
            ndi().send_destroy(instance);
        instance = nullptr;
    }

    std::string publishedName() const { return ndi().send_get_source_name(instance)->p_ndi_name; }

private:
    void run()
    {
        std::vector<float> block;
        std::vector<double> phase(channels, 0.0);
        auto due = Clock::now();
        for (int64_t tick = 0; running; ++tick) {
            const int64_t n = (tick + 1) * rate * kBlock / kRate - tick * rate * kBlock / kRate;
            block.assign(static_cast<size_t>(n * channels), 0.0f);
            for (int c = 0; c < channels; ++c) {
                const double step = 2 * std::numbers::pi * 375.0 * (c + 1) / rate;
                for (int64_t i = 0; i < n; ++i, phase[c] += step)
                    block[static_cast<size_t>(c * n + i)] = static_cast<float>(std::sin(phase[c]));
                phase[c] = std::fmod(phase[c], 2 * std::numbers::pi);
            }
            NDIlib_audio_frame_v2_t frame;
            frame.sample_rate = rate;
            frame.no_channels = channels;
            frame.no_samples = static_cast<int>(n);
            frame.p_data = block.data();
            frame.channel_stride_in_bytes = static_cast<int>(n * 4);
            ndi().send_send_audio_v2(instance, &frame);
            due += std::chrono::microseconds(kBlock * 1000000LL / kRate);
            std::this_thread::sleep_until(due);
        }
    }

    int channels;
    int rate;
    NDIlib_send_instance_t instance = nullptr;
    std::atomic<bool> running{true};
    std::thread worker;
};

struct Pulled {
    std::vector<std::vector<float>> channels; // after the first audible block
    int blocksBeforeSound = 0;
    int silentBlocksAfterSound = 0;
    int trailingSilentBlocks = 0;
};

// Pulls `blocks` blocks at the engine's pace, as the router's capture does.
Pulled pullBlocks(NDIlib_framesync_instance_t sync, int blocks)
{
    Pulled result;
    auto due = Clock::now();
    bool sounding = false;
    for (int b = 0; b < blocks; ++b) {
        NDIlib_audio_frame_v2_t frame;
        ndi().framesync_capture_audio(sync, &frame, kRate, 0, kBlock);
        float peak = 0;
        for (int i = 0; frame.p_data != nullptr && i < frame.no_channels * frame.no_samples; ++i)
            peak = std::max(peak, std::abs(frame.p_data[i]));
        if (!sounding && peak > 0) {
            sounding = true;
            result.channels.resize(static_cast<size_t>(frame.no_channels));
        }
        result.trailingSilentBlocks = peak == 0 ? result.trailingSilentBlocks + 1 : 0;
        if (!sounding) {
            ++result.blocksBeforeSound;
        } else {
            EXPECT_EQ(frame.no_samples, kBlock);
            EXPECT_EQ(frame.sample_rate, kRate);
            result.silentBlocksAfterSound += peak == 0 ? 1 : 0;
            for (size_t c = 0; c < result.channels.size() && static_cast<int>(c) < frame.no_channels; ++c)
                result.channels[c].insert(
                    result.channels[c].end(), frame.p_data + c * kBlock, frame.p_data + (c + 1) * kBlock);
        }
        ndi().framesync_free_audio(sync, &frame);
        due += std::chrono::microseconds(kBlock * 1000000LL / kRate);
        std::this_thread::sleep_until(due);
    }
    return result;
}

struct ReceiverWithSync {
    explicit ReceiverWithSync(const std::string& source)
    {
        NDIlib_recv_create_v3_t settings;
        settings.source_to_connect_to.p_ndi_name = source.c_str();
        receiver = ndi().recv_create_v4(&settings, nullptr);
        sync = ndi().framesync_create(receiver);
    }
    ~ReceiverWithSync()
    {
        ndi().framesync_destroy(sync);
        ndi().recv_destroy(receiver);
    }
    NDIlib_recv_instance_t receiver = nullptr;
    NDIlib_framesync_instance_t sync = nullptr;
};

std::vector<std::string> currentSources()
{
    NDIlib_find_create_t settings;
    NDIlib_find_instance_t finder = ndi().find_create_v3(&settings, nullptr);
    uint32_t count = 0;
    const NDIlib_source_v2_t* list = ndi().find_get_current_sources_v2(finder, &count);
    std::vector<std::string> names;
    for (uint32_t i = 0; i < count; ++i)
        names.emplace_back(list[i].p_ndi_name);
    ndi().find_destroy(finder);
    return names;
}

bool listed(const std::string& name)
{
    const auto names = currentSources();
    return std::find(names.begin(), names.end(), name) != names.end();
}

size_t occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

void expectTones(const Pulled& pulled, int channels)
{
    ASSERT_EQ(pulled.channels.size(), static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c) {
        // Skip the first 100 ms: the resampler's start-up.
        const std::vector<float> steady(pulled.channels[c].begin() + kRate / 10, pulled.channels[c].end());
        ASSERT_GE(steady.size(), static_cast<size_t>(kRate));
        const ToneFit fit = fitTone(steady, 375.0 * (c + 1), kRate);
        EXPECT_NEAR(fit.amplitude, 1.0, 0.02) << "channel " << c;
        EXPECT_GT(fit.toneFraction, 0.99) << "channel " << c;
    }
}

} // namespace

TEST(LoopbackRuntime, reportsAVersionEndingInItsNumber)
{
    const std::string version = ndiRuntimeVersion();
    const std::string last = version.substr(version.rfind(' ') + 1);
    EXPECT_EQ(last, "1.0.0");
}

TEST(LoopbackRuntime, frameSyncDeliversTheSentToneAtEqualRatesWithoutDropouts)
{
    ToneSender sender("Equal Rates", 4, kRate);
    ReceiverWithSync rx(sender.publishedName());
    const Pulled pulled = pullBlocks(rx.sync, 180);

    EXPECT_LT(pulled.blocksBeforeSound, 40);
    EXPECT_EQ(pulled.silentBlocksAfterSound, 0);
    expectTones(pulled, 4);
}

TEST(LoopbackRuntime, frameSyncResamples44100To48000)
{
    ToneSender sender("CD Rate", 2, 44100);
    ReceiverWithSync rx(sender.publishedName());
    const Pulled pulled = pullBlocks(rx.sync, 180);

    EXPECT_EQ(pulled.silentBlocksAfterSound, 0);
    expectTones(pulled, 2); // fitted at 48 kHz: the pitch survived the conversion
}

TEST(LoopbackRuntime, frameSyncGivesSilenceOfTheRequestedShapeBeforeAndAfterTheSource)
{
    ReceiverWithSync rx("NOBODY (Not Yet)");
    NDIlib_audio_frame_v2_t frame;
    ndi().framesync_capture_audio(rx.sync, &frame, kRate, 0, kBlock);
    EXPECT_EQ(frame.no_channels, 0) << "before the first audio the source's own count is unknown";
    ndi().framesync_free_audio(rx.sync, &frame);
    ndi().framesync_capture_audio(rx.sync, &frame, kRate, 3, kBlock);
    EXPECT_EQ(frame.no_channels, 3);
    EXPECT_EQ(frame.no_samples, kBlock);
    ASSERT_NE(frame.p_data, nullptr);
    for (int i = 0; i < 3 * kBlock; ++i)
        ASSERT_EQ(frame.p_data[i], 0.0f);
    ndi().framesync_free_audio(rx.sync, &frame);

    NDIlib_video_frame_v2_t picture;
    ndi().framesync_capture_video(rx.sync, &picture, NDIlib_frame_format_type_progressive);
    EXPECT_EQ(picture.xres, 0);
    EXPECT_EQ(picture.timecode, 0);
    EXPECT_EQ(picture.p_data, nullptr);
    ndi().framesync_free_video(rx.sync, &picture);

    // A source that plays, then stops: the pull goes on, in silence.
    auto sender = std::make_unique<ToneSender>("Stops", 1, kRate);
    ReceiverWithSync live(sender->publishedName());
    const Pulled playing = pullBlocks(live.sync, 60);
    ASSERT_EQ(playing.channels.size(), 1u);
    sender->stop();
    const Pulled after = pullBlocks(live.sync, 30);
    EXPECT_GE(after.trailingSilentBlocks, 20) << "after what was queued drains, the source is silent";
}

TEST(LoopbackRuntime, receiverCapturesFramesExactlyAndHonoursTimeouts)
{
    NDIlib_send_create_t settings;
    settings.p_ndi_name = "Exact";
    NDIlib_send_instance_t sender = ndi().send_create_v2(&settings, nullptr);
    const std::string name = ndi().send_get_source_name(sender)->p_ndi_name;

    NDIlib_recv_create_v3_t rs;
    rs.source_to_connect_to.p_ndi_name = name.c_str();
    NDIlib_recv_instance_t receiver = ndi().recv_create_v4(&rs, nullptr);

    NDIlib_audio_frame_v3_t audio;
    NDIlib_video_frame_v2_t video;
    ASSERT_EQ(ndi().recv_capture_v3(receiver, nullptr, &audio, nullptr, 2000), NDIlib_frame_type_status_change);
    ASSERT_EQ(ndi().send_get_no_connections(sender, 2000), 1);
    auto started = Clock::now();
    EXPECT_EQ(ndi().recv_capture_v3(receiver, nullptr, &audio, nullptr, 0), NDIlib_frame_type_none);
    EXPECT_LT(Clock::now() - started, 50ms) << "timeout 0 polls";
    started = Clock::now();
    EXPECT_EQ(ndi().recv_capture_v3(receiver, nullptr, &audio, nullptr, 100), NDIlib_frame_type_none);
    EXPECT_GE(Clock::now() - started, 90ms) << "a timeout waits";

    // Audio with a padded channel stride arrives packed, sample for sample.
    std::vector<float> padded(3 * 100);
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 70; ++i)
            padded[c * 100 + i] = static_cast<float>(c * 1000 + i);
    NDIlib_audio_frame_v2_t sent;
    sent.sample_rate = 44100;
    sent.no_channels = 3;
    sent.no_samples = 70;
    sent.p_data = padded.data();
    sent.channel_stride_in_bytes = 100 * 4;
    ndi().send_send_audio_v2(sender, &sent);

    // A picture's bytes, FourCC, stride and rate are passed through untouched.
    std::vector<uint8_t> pixels(64 * 2 * 4);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i * 7);
    NDIlib_video_frame_v2_t picture;
    picture.xres = 64;
    picture.yres = 4;
    picture.frame_rate_N = 25;
    picture.frame_rate_D = 1;
    picture.p_data = pixels.data();
    picture.line_stride_in_bytes = 128;
    ndi().send_send_video_v2(sender, &picture);

    ASSERT_EQ(ndi().recv_capture_v3(receiver, nullptr, &audio, nullptr, 2000), NDIlib_frame_type_audio);
    EXPECT_EQ(audio.sample_rate, 44100);
    EXPECT_EQ(audio.no_channels, 3);
    ASSERT_EQ(audio.no_samples, 70);
    EXPECT_EQ(audio.FourCC, NDIlib_FourCC_audio_type_FLTP);
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 70; ++i)
            ASSERT_EQ(reinterpret_cast<const float*>(audio.p_data + c * audio.channel_stride_in_bytes)[i],
                static_cast<float>(c * 1000 + i));
    EXPECT_NE(audio.timecode, NDIlib_send_timecode_synthesize) << "timecode is synthesised by the sender";
    ndi().recv_free_audio_v3(receiver, &audio);

    // Audio-only capture leaves the picture queued for a capture that wants it.
    ASSERT_EQ(ndi().recv_capture_v2(receiver, &video, nullptr, nullptr, 2000), NDIlib_frame_type_video);
    EXPECT_EQ(video.xres, 64);
    EXPECT_EQ(video.yres, 4);
    EXPECT_EQ(video.FourCC, NDIlib_FourCC_video_type_UYVY);
    EXPECT_EQ(video.line_stride_in_bytes, 128);
    EXPECT_EQ(video.frame_rate_N, 25);
    EXPECT_EQ(std::memcmp(video.p_data, pixels.data(), pixels.size()), 0);
    ndi().recv_free_video_v2(receiver, &video);

    ndi().recv_destroy(receiver);
    ndi().send_destroy(sender);
}

TEST(LoopbackRuntime, clockedVideoIsPacedToItsFrameRate)
{
    NDIlib_send_create_t settings;
    settings.p_ndi_name = "Paced";
    settings.clock_video = true;
    NDIlib_send_instance_t sender = ndi().send_create_v2(&settings, nullptr);
    std::vector<uint8_t> pixels(16 * 2 * 16, 128);
    NDIlib_video_frame_v2_t picture;
    picture.xres = 16;
    picture.yres = 16;
    picture.frame_rate_N = 50;
    picture.frame_rate_D = 1;
    picture.p_data = pixels.data();
    const auto started = Clock::now();
    for (int i = 0; i < 11; ++i)
        ndi().send_send_video_v2(sender, &picture);
    // Ten periods of 20 ms at least: the first frame goes at once.
    EXPECT_GE(Clock::now() - started, 195ms);
    ndi().send_destroy(sender);
}

TEST(LoopbackRuntime, receiverReconnectsWhenItsSourceReturns)
{
    auto first = std::make_unique<ToneSender>("Comes Back", 1, kRate);
    const std::string name = first->publishedName();
    ReceiverWithSync rx(name);
    ASSERT_FALSE(pullBlocks(rx.sync, 40).channels.empty());

    first.reset();
    EXPECT_FALSE(listed(name));
    pullBlocks(rx.sync, 20);
    ToneSender second("Comes Back", 1, kRate);
    ASSERT_EQ(second.publishedName(), name);
    EXPECT_FALSE(pullBlocks(rx.sync, 60).channels.empty()) << "the same receiver hears the returning source";
}

TEST(LoopbackRuntime, namesArePublishedVerbatimAndMadeUniqueOnTheMachine)
{
    const std::string odd = "Stage (L) \xff\xfe <&>";
    NDIlib_send_create_t settings;
    settings.p_ndi_name = odd.c_str();
    NDIlib_send_instance_t a = ndi().send_create_v2(&settings, nullptr);
    NDIlib_send_instance_t b = ndi().send_create_v2(&settings, nullptr);
    const std::string nameA = ndi().send_get_source_name(a)->p_ndi_name;
    const std::string nameB = ndi().send_get_source_name(b)->p_ndi_name;
    EXPECT_EQ(nameA.substr(nameA.find(" (") + 2), odd + ")");
    EXPECT_EQ(nameB.substr(nameB.find(" (") + 2), odd + " 2)");
    EXPECT_TRUE(listed(nameA));
    EXPECT_TRUE(listed(nameB));
    ndi().send_destroy(a);
    EXPECT_FALSE(listed(nameA));
    EXPECT_TRUE(listed(nameB));
    ndi().send_destroy(b);
}

TEST(LoopbackRuntime, badFramesAndBadPeersAreRefusedWithoutDisturbingOthers)
{
    ToneSender good("Good Source", 1, kRate);
    ReceiverWithSync rx(good.publishedName());
    pullBlocks(rx.sync, 30);

    // Impossible frames from our own side: refused, nothing sent.
    NDIlib_send_create_t settings;
    settings.p_ndi_name = "Bad Frames";
    NDIlib_send_instance_t bad = ndi().send_create_v2(&settings, nullptr);
    float sample = 0.5f;
    NDIlib_audio_frame_v2_t frame;
    frame.p_data = &sample;
    frame.no_samples = 1;
    frame.no_channels = 0;
    ndi().send_send_audio_v2(bad, &frame);
    frame.no_channels = 1;
    frame.sample_rate = -5;
    ndi().send_send_audio_v2(bad, &frame);
    NDIlib_video_frame_v2_t empty;
    ndi().send_send_video_v2(bad, &empty);

    // A peer that is no receiver: garbage into the sender's port.
    const std::string badName = ndi().send_get_source_name(bad)->p_ndi_name;
    const std::string address = ndi().send_get_source_name(bad)->p_url_address;
    const int port = std::stoi(address.substr(address.find(':') + 1));
    const int peer = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const char garbage[64] = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_GT(send(peer, garbage, sizeof garbage, MSG_NOSIGNAL), 0);
    char byte;
    EXPECT_EQ(recv(peer, &byte, 1, 0), 0) << "the sender hangs up on it";
    close(peer);

    // A "source" that announces itself but sends garbage frames.
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    addr.sin_port = 0;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len);
    listen(server, 4);
    const std::string file = LoopbackEnvironment::folder + "/hostile.src";
    const int announcement = open(file.c_str(), O_RDWR | O_CREAT, 0600);
    flock(announcement, LOCK_EX);
    const std::string content = std::to_string(ntohs(addr.sin_port)) + "\nEVIL (Garbage)";
    ASSERT_EQ(write(announcement, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    {
        ReceiverWithSync victim("EVIL (Garbage)");
        const int conn = accept(server, nullptr, nullptr);
        std::vector<uint8_t> noise(4096);
        for (size_t i = 0; i < noise.size(); ++i)
            noise[i] = static_cast<uint8_t>(i * 31 + 7);
        send(conn, noise.data(), noise.size(), MSG_NOSIGNAL);
        EXPECT_EQ(recv(conn, noise.data(), noise.size(), 0) >= 0, true); // the hello, then a hang-up
        close(conn);
        NDIlib_audio_frame_v2_t silent;
        ndi().framesync_capture_audio(victim.sync, &silent, kRate, 2, kBlock);
        EXPECT_EQ(silent.no_channels, 2);
        ndi().framesync_free_audio(victim.sync, &silent);
    }
    close(announcement);
    close(server);

    ndi().send_destroy(bad);
    EXPECT_FALSE(listed(badName));
    pullBlocks(rx.sync, 20); // catch up with what queued while nobody pulled
    const Pulled still = pullBlocks(rx.sync, 120);
    EXPECT_EQ(still.silentBlocksAfterSound, 0) << "the good source never noticed";
    expectTones(still, 1);
}

TEST(LoopbackRuntime, pictureThatDisagreesWithItsStrideIsDroppedAndItsPeerHungUpOn)
{
    RoguePeer rogue("ROGUE (Pictures)");
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = rogue.name().c_str();
    NDIlib_recv_instance_t receiver = ndi().recv_create_v4(&settings, nullptr);
    NDIlib_video_frame_v2_t video;
    const auto nextPicture = [&] {
        const auto deadline = Clock::now() + 1s;
        while (Clock::now() < deadline)
            if (ndi().recv_capture_v2(receiver, &video, nullptr, nullptr, 100) == NDIlib_frame_type_video)
                return true;
        return false;
    };

    struct Lie {
        const char* what;
        int stride;
        uint32_t bytes;
    };
    for (const Lie& lie : {Lie{"fewer bytes than stride x height", 128, 64}, Lie{"an absurd stride", 1 << 30, 512}}) {
        ASSERT_TRUE(rogue.acceptReceiver()) << lie.what;
        // An honest picture first: what follows is refused for its lie, not for a broken connection.
        ASSERT_TRUE(rogue.send(RoguePeer::uyvy(64, 4, 128, 512), std::vector<uint8_t>(512, 0x80)));
        ASSERT_TRUE(nextPicture()) << lie.what;
        EXPECT_EQ(video.line_stride_in_bytes, 128);
        ndi().recv_free_video_v2(receiver, &video);

        testing::internal::CaptureStderr();
        rogue.send(RoguePeer::uyvy(64, 4, lie.stride, lie.bytes), std::vector<uint8_t>(lie.bytes, 0x80));
        EXPECT_TRUE(rogue.hungUp()) << lie.what;
        EXPECT_FALSE(nextPicture()) << lie.what << " was handed out";
        EXPECT_EQ(occurrences(testing::internal::GetCapturedStderr(), "connection dropped"), 1u) << lie.what;
    }
    ndi().recv_destroy(receiver);
}

TEST(LoopbackRuntime, discoveryFolderThatOthersCanOpenIsRefused)
{
    NDIlib_send_create_t settings;
    settings.p_ndi_name = "Before Opening";
    NDIlib_send_instance_t before = ndi().send_create_v2(&settings, nullptr);
    const std::string name = ndi().send_get_source_name(before)->p_ndi_name;
    ASSERT_TRUE(listed(name));

    const std::string& folder = LoopbackEnvironment::folder;
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(listed(name)) << "nothing is discovered through it";
    EXPECT_FALSE(listed(name));
    settings.p_ndi_name = "While Open";
    NDIlib_send_instance_t during = ndi().send_create_v2(&settings, nullptr);
    EXPECT_EQ(during, nullptr) << "nothing is announced through it";
    const std::string log = testing::internal::GetCapturedStderr();
    chmod(folder.c_str(), 0700);
    EXPECT_EQ(occurrences(log, "discovery folder " + folder + " refused"), 1u) << "reported once, not at every look";

    EXPECT_TRUE(listed(name)) << "private again, it is used again";
    if (during != nullptr)
        ndi().send_destroy(during);
    ndi().send_destroy(before);
}

TEST(LoopbackRuntime, announcementThatOthersCanWriteIsIgnored)
{
    RoguePeer fair("ROGUE (Private File)");
    RoguePeer planted("ROGUE (Writable File)", 0666);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(listed(fair.name()));
    EXPECT_FALSE(listed(planted.name()));
    EXPECT_FALSE(listed(planted.name()));
    EXPECT_EQ(occurrences(testing::internal::GetCapturedStderr(), planted.announcementFile()), 1u)
        << "reported once, not at every look";
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
