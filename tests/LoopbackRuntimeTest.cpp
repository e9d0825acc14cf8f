// The loopback runtime, driven through the loader's table exactly as Kestrix
// drives a real NDI runtime: senders, receivers and frame-syncs over real
// sockets, in this process and another.

#include "ndi/NdiLibrary.h"
#include "support/ChildProcess.h"
#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"
#include "support/RoguePeer.h"
#include "support/TestSource.h"
#include "support/Tone.h"

#include <QtNetwork/QHostInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <numeric>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 512;

struct Pulled {
    std::vector<std::vector<float>> channels; // from the first audible block on
    int blocksBeforeSound = 0, silentBlocksAfterSound = 0;
};

// Pulls `blocks` blocks from each frame-sync at the engine's pace, as the router's capture does.
std::vector<Pulled> pullBlocks(const std::vector<NDIlib_framesync_instance_t>& syncs, int blocks)
{
    std::vector<Pulled> pulled(syncs.size());
    auto due = Clock::now();
    for (int b = 0; b < blocks; ++b) {
        for (size_t s = 0; s < syncs.size(); ++s) {
            Pulled& result = pulled[s];
            NDIlib_audio_frame_v2_t frame;
            ndi().framesync_capture_audio(syncs[s], &frame, kRate, 0, kBlock);
            const bool audible = std::any_of(
                frame.p_data, frame.p_data + frame.no_channels * frame.no_samples, [](float x) { return x != 0; });
            if (result.channels.empty() && audible)
                result.channels.resize(static_cast<size_t>(frame.no_channels));
            if (result.channels.empty()) {
                ++result.blocksBeforeSound;
            } else {
                EXPECT_EQ(std::make_pair(frame.no_samples, frame.sample_rate), std::make_pair(kBlock, kRate));
                result.silentBlocksAfterSound += audible ? 0 : 1;
                for (size_t c = 0; c < result.channels.size() && static_cast<int>(c) < frame.no_channels; ++c)
                    result.channels[c].insert(
                        result.channels[c].end(), frame.p_data + c * kBlock, frame.p_data + (c + 1) * kBlock);
            }
            ndi().framesync_free_audio(syncs[s], &frame);
        }
        due += std::chrono::microseconds(kBlock * 1000000LL / kRate);
        std::this_thread::sleep_until(due);
    }
    return pulled;
}

struct ReceiverWithSync {
    explicit ReceiverWithSync(const std::string& source)
        : receiver(RawReceiver::create(source)), sync(ndi().framesync_create(receiver))
    {
    }
    ~ReceiverWithSync()
    {
        ndi().framesync_destroy(sync);
        ndi().recv_destroy(receiver);
    }
    Pulled pull(int blocks) { return pullBlocks({sync}, blocks)[0]; }
    NDIlib_recv_instance_t receiver;
    NDIlib_framesync_instance_t sync;
};

NDIlib_send_instance_t createSender(const char* name)
{
    const NDIlib_send_create_t settings{.p_ndi_name = name};
    return ndi().send_create_v2(&settings, nullptr);
}

std::string publishedName(NDIlib_send_instance_t sender)
{
    return ndi().send_get_source_name(sender)->p_ndi_name;
}

bool listed(const std::string& name)
{
    return std::ranges::count(RawReceiver::listedNames(), name) > 0;
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
        // Past the first 100 ms: the resampler's start-up.
        const std::vector<float> steady(pulled.channels[c].begin() + kRate / 10, pulled.channels[c].end());
        ASSERT_GE(steady.size(), static_cast<size_t>(kRate));
        const ToneFit fit = fitTone(steady, 375.0 * (c + 1), kRate);
        EXPECT_NEAR(fit.amplitude, 1.0, 0.02) << "channel " << c;
        EXPECT_GT(fit.toneFraction, 0.99) << "channel " << c;
    }
}

} // namespace

// One receiver as the router's capture sees it: silence of the asked shape
// before its source exists, the tones without dropouts at equal rates and from
// 44.1 kHz, silence while the source is away, and the source again when it returns.
TEST(LoopbackRuntime, frameSyncGivesTonesAtEqualRatesAndFrom44100AndSilenceWhileTheSourceIsAway)
{
    const std::string name = QHostInfo::localHostName().toUpper().toStdString() + " (Equal Rates)";
    ReceiverWithSync equalRx(name);
    NDIlib_audio_frame_v2_t frame;
    ndi().framesync_capture_audio(equalRx.sync, &frame, kRate, 0, kBlock);
    EXPECT_EQ(frame.no_channels, 0) << "before the first audio the source's own count is unknown";
    ndi().framesync_free_audio(equalRx.sync, &frame);
    ndi().framesync_capture_audio(equalRx.sync, &frame, kRate, 3, kBlock);
    ASSERT_EQ(std::make_pair(frame.no_channels, frame.no_samples), std::make_pair(3, kBlock));
    EXPECT_EQ(std::vector<float>(frame.p_data, frame.p_data + 3 * kBlock), std::vector<float>(3 * kBlock, 0.0f));
    ndi().framesync_free_audio(equalRx.sync, &frame);
    NDIlib_video_frame_v2_t picture;
    ndi().framesync_capture_video(equalRx.sync, &picture, NDIlib_frame_format_type_progressive);
    EXPECT_EQ(picture.p_data, nullptr);
    ndi().framesync_free_video(equalRx.sync, &picture);

    auto equal = std::make_unique<TestSource>("Equal Rates", TestSource::Options{.channels = 4});
    TestSource cd("CD Rate", {.channels = 2, .sampleRate = 44100});
    ReceiverWithSync cdRx(cd.publishedName());

    const std::vector<Pulled> pulled = pullBlocks({equalRx.sync, cdRx.sync}, 180);
    EXPECT_LT(pulled[0].blocksBeforeSound, 40);
    EXPECT_EQ(pulled[0].silentBlocksAfterSound, 0);
    expectTones(pulled[0], 4);
    EXPECT_EQ(pulled[1].silentBlocksAfterSound, 0);
    expectTones(pulled[1], 2); // fitted at 48 kHz: the pitch survived the conversion

    equal.reset();
    EXPECT_FALSE(listed(name));
    // What was queued drains first: up to the jitter margin, which dropouts on a busy machine widen to 250 ms.
    for (int block = 0; block < 40 && !equalRx.pull(1).channels.empty(); ++block) { }
    EXPECT_TRUE(equalRx.pull(20).channels.empty()) << "once what was queued drains, the pull goes on in silence";
    equal = std::make_unique<TestSource>("Equal Rates", TestSource::Options{.channels = 4});
    EXPECT_FALSE(equalRx.pull(60).channels.empty()) << "the same receiver hears the returning source";
}

TEST(LoopbackRuntime, receiverCapturesFramesExactlyAndHonoursTimeoutsWhileBadFramesAndPeersAreRefused)
{
    NDIlib_send_instance_t sender = createSender("Exact");
    NDIlib_recv_instance_t receiver = RawReceiver::create(publishedName(sender));

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

    // Impossible frames from our own side are refused: the frames received next are the ones sent after.
    float sample = 0.5f;
    for (const NDIlib_audio_frame_v2_t& impossible :
        {NDIlib_audio_frame_v2_t{.no_channels = 0, .no_samples = 1, .p_data = &sample},
            NDIlib_audio_frame_v2_t{.sample_rate = -5, .no_channels = 1, .no_samples = 1, .p_data = &sample}})
        ndi().send_send_audio_v2(sender, &impossible);
    const NDIlib_video_frame_v2_t empty{};
    ndi().send_send_video_v2(sender, &empty);

    // A peer that is no receiver, writing garbage into the sender's port, is hung up on.
    const std::string address = ndi().send_get_source_name(sender)->p_url_address;
    const auto port = static_cast<uint16_t>(std::stoi(address.substr(address.find(':') + 1)));
    const sockaddr_in to{
        .sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    const timeval patience{.tv_sec = 3, .tv_usec = 0};
    const int peer = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    ASSERT_EQ(connect(peer, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    const char garbage[64] = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_GT(send(peer, garbage, sizeof garbage, MSG_NOSIGNAL), 0);
    char byte;
    EXPECT_EQ(recv(peer, &byte, 1, 0), 0);
    close(peer);

    // Audio with a padded channel stride arrives packed, sample for sample.
    std::vector<float> padded(3 * 100);
    std::iota(padded.begin(), padded.end(), 0.0f);
    const NDIlib_audio_frame_v2_t sent{.sample_rate = 44100,
        .no_channels = 3,
        .no_samples = 70,
        .p_data = padded.data(),
        .channel_stride_in_bytes = 400};
    ndi().send_send_audio_v2(sender, &sent);

    // A picture's bytes, FourCC, stride and rate pass untouched.
    std::vector<uint8_t> pixels(64 * 2 * 4);
    std::iota(pixels.begin(), pixels.end(), uint8_t{7});
    const NDIlib_video_frame_v2_t picture{.xres = 64,
        .yres = 4,
        .frame_rate_N = 25,
        .frame_rate_D = 1,
        .p_data = pixels.data(),
        .line_stride_in_bytes = 128};
    ndi().send_send_video_v2(sender, &picture);

    ASSERT_EQ(ndi().recv_capture_v3(receiver, nullptr, &audio, nullptr, 2000), NDIlib_frame_type_audio);
    EXPECT_EQ(std::make_tuple(audio.sample_rate, audio.no_channels, audio.no_samples, audio.FourCC),
        std::make_tuple(44100, 3, 70, NDIlib_FourCC_audio_type_FLTP));
    for (int c = 0; c < 3; ++c) {
        const auto* samples = reinterpret_cast<const float*>(audio.p_data + c * audio.channel_stride_in_bytes);
        EXPECT_EQ(std::vector<float>(samples, samples + 70),
            std::vector<float>(padded.begin() + c * 100, padded.begin() + c * 100 + 70));
    }
    EXPECT_NE(audio.timecode, NDIlib_send_timecode_synthesize) << "timecode is synthesised by the sender";
    ndi().recv_free_audio_v3(receiver, &audio);

    // Audio-only capture left the pictures queued for a capture that wants them.
    ASSERT_EQ(ndi().recv_capture_v2(receiver, &video, nullptr, nullptr, 2000), NDIlib_frame_type_video);
    EXPECT_EQ(std::make_tuple(video.xres, video.yres, video.FourCC, video.line_stride_in_bytes, video.frame_rate_N),
        std::make_tuple(64, 4, NDIlib_FourCC_video_type_UYVY, 128, 25));
    EXPECT_EQ(std::vector<uint8_t>(video.p_data, video.p_data + pixels.size()), pixels);
    ndi().recv_free_video_v2(receiver, &video);
    ndi().recv_destroy(receiver);
    ndi().send_destroy(sender);
}

// The machine part is the one the source finder takes for this machine's own.
TEST(LoopbackRuntime, namesArePublishedVerbatimAndMadeUniqueOnTheMachine)
{
    const std::string odd = "Stage (L) \xff\xfe <&>", machine = QHostInfo::localHostName().toUpper().toStdString();
    NDIlib_send_instance_t a = createSender(odd.c_str());
    NDIlib_send_instance_t b = createSender(odd.c_str());
    EXPECT_EQ(publishedName(a), machine + " (" + odd + ")");
    EXPECT_EQ(publishedName(b), machine + " (" + odd + " 2)");
    EXPECT_TRUE(listed(publishedName(a)));
    ndi().send_destroy(a);
    EXPECT_TRUE(listed(publishedName(b))) << "the twin's end leaves it announced";
    ndi().send_destroy(b);
}

TEST(LoopbackRuntime, aSenderOfAnotherProcessIsFoundAndGoneSoonAfterThatProcessIsKilled)
{
    const std::string log = LoopbackEnvironment::folder + "/child.log";
    ChildProcess child(fs::read_symlink("/proc/self/exe"), {"--publish", "Child Sender"},
        {"KESTRIX_LOOPBACK_HOSTNAME=OTHERHOST"}, log);
    const auto deadline = Clock::now() + 10s;
    while (!listed("OTHERHOST (Child Sender)") && Clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(listed("OTHERHOST (Child Sender)")) << std::ifstream(log).rdbuf();

    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    const auto killed = Clock::now();
    while (listed("OTHERHOST (Child Sender)") && Clock::now() < killed + 10s)
        std::this_thread::sleep_for(50ms);
    // The runtime lets a source go within 3 s; the rest is room for a busy machine.
    EXPECT_LT(Clock::now() - killed, 5s);
}

// Each lie the runtime checks for, told by a peer that has just sent an honest
// picture: the frame is dropped, the connection with it, and that is logged.
TEST(LoopbackRuntime, aFrameThatLiesAboutItsSizeShapeOrTextIsDroppedAndItsPeerHungUpOn)
{
    using loopback::WireHeader, loopback::WireKind;
    const auto picture = [](int fourCC, int strideOrSize, uint32_t bytes) {
        return WireHeader{.kind = WireKind::video,
            .xres = 64,
            .yres = 4,
            .fourCC = fourCC,
            .strideOrSize = strideOrSize,
            .rateN = 25,
            .rateD = 1,
            .payloadBytes = bytes};
    };
    const auto sound = [](int channels, int samples, uint32_t bytes) {
        return WireHeader{.sampleRate = kRate, .channels = channels, .samples = samples, .payloadBytes = bytes};
    };
    const auto metadata = [](uint32_t bytes) { return WireHeader{.kind = WireKind::metadata, .metadataBytes = bytes}; };
    const int uyvy = NDIlib_FourCC_video_type_UYVY, h264 = KESTRIX_NDI_FOURCC('H', '2', '6', '4');
    WireHeader noFrame = sound(1, 128, 512);
    noFrame.magic = 0x20544547; // "GET "
    // Neighbouring rows are refused for different reasons: a reason is logged once until another comes.
    // After a header that claims too much nothing follows: a receiver that believed it would wait.
    const std::tuple<const char*, WireHeader, size_t> lies[] = {
        {"no loopback frame", noFrame, 512},
        {"fewer bytes than stride x height", picture(uyvy, 128, 64), 64},
        {"an absurd stride", picture(uyvy, 1 << 30, 512), 512},
        {"a compressed size that is not what follows", picture(h264, 4096, 512), 512},
        {"no channels", sound(0, 128, 0), 0},
        {"more media than any frame may carry", sound(512, 1 << 19, 1u << 30), 0},
        {"more samples than its bytes hold", sound(2, 128, 512), 512},
        {"more metadata than any frame may carry", metadata(loopback::kMaxMetadata + 1), 0},
        {"metadata that does not end where its length says", metadata(4), 4},
    };

    RoguePeer rogue("ROGUE (Lies)");
    NDIlib_recv_instance_t receiver = RawReceiver::create(rogue.name());
    // The kind of the next frame handed out within `timeout`, freed at once; status changes are passed over.
    const auto nextFrame = [&](std::chrono::milliseconds timeout) {
        NDIlib_video_frame_v2_t video;
        NDIlib_audio_frame_v2_t audio;
        NDIlib_metadata_frame_t text;
        for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;)
            switch (const auto type = ndi().recv_capture_v2(receiver, &video, &audio, &text, 50)) {
            case NDIlib_frame_type_video: ndi().recv_free_video_v2(receiver, &video); return type;
            case NDIlib_frame_type_audio: ndi().recv_free_audio_v2(receiver, &audio); return type;
            case NDIlib_frame_type_metadata: ndi().recv_free_metadata(receiver, &text); return type;
            default: break;
            }
        return NDIlib_frame_type_none;
    };
    for (const auto& [what, header, following] : lies) {
        ASSERT_TRUE(rogue.acceptReceiver()) << what;
        // What follows is refused for its lie, not for a broken connection.
        ASSERT_TRUE(rogue.send(picture(uyvy, 128, 512), 512));
        ASSERT_EQ(nextFrame(2s), NDIlib_frame_type_video) << what;

        testing::internal::CaptureStderr();
        rogue.send(header, following);
        EXPECT_TRUE(rogue.hungUp()) << what;
        // A frame it took would have been queued before the connection closed.
        EXPECT_EQ(nextFrame(200ms), NDIlib_frame_type_none) << what << " was handed out";
        EXPECT_EQ(occurrences(testing::internal::GetCapturedStderr(), "connection dropped"), 1u) << what;
    }
    ndi().recv_destroy(receiver);
}

TEST(LoopbackRuntime, aDiscoveryFolderOthersCanOpenIsRefusedAndAnAnnouncementOthersCanWriteIgnored)
{
    RoguePeer fair("ROGUE (Private File)");
    RoguePeer planted("ROGUE (Writable File)", 0666);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(listed(fair.name()));
    EXPECT_FALSE(listed(planted.name()));
    EXPECT_FALSE(listed(planted.name()));

    const std::string& folder = LoopbackEnvironment::folder;
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    EXPECT_FALSE(listed(fair.name())) << "nothing is discovered through it";
    EXPECT_FALSE(listed(fair.name()));
    NDIlib_send_instance_t during = createSender("While Open");
    EXPECT_EQ(during, nullptr) << "nothing is announced through it";
    chmod(folder.c_str(), 0700);
    EXPECT_TRUE(listed(fair.name())) << "private again, it is used again";

    // Each reported once, not at every look.
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(occurrences(log, planted.announcementFile()), 1u);
    EXPECT_EQ(occurrences(log, "discovery folder " + folder + " refused"), 1u);
    if (during != nullptr)
        ndi().send_destroy(during);
}

int main(int argc, char** argv)
{
    // `--publish NAME`: a sender in a process of its own, until it is killed.
    if (argc == 3 && std::string(argv[1]) == "--publish") {
        NDIlib_send_instance_t sender = createSender(argv[2]);
        std::cerr << (sender != nullptr ? "published " + publishedName(sender) : "cannot publish") << std::endl;
        std::this_thread::sleep_for(60s);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
