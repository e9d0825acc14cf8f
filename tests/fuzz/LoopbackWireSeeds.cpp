// Writes the seed corpus of fuzz-loopback-wire: frames exactly as a loopback
// sender puts them on the wire (audio, a UYVY picture, a compressed picture,
// each with and without metadata), a metadata frame, and near misses made
// from them by one wrong field. Run it again when the wire format changes:
//
//   cmake --build build --target kestrix-fuzz-seeds-loopback-wire
//   build/bin/kestrix-fuzz-seeds-loopback-wire tests/fuzz/corpus/fuzz-loopback-wire

#include "ndi/NdiApi.h"
#include "ndi/loopback/Wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "kestrix-fuzz-seeds-loopback-wire: %s\n", what.c_str());
    std::exit(1);
}

bool receiveAll(int fd, uint8_t* at, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::recv(fd, at, size, 0);
        if (n <= 0)
            return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The next frame the sender writes, header and all.
Bytes nextFrame(int fd)
{
    loopback::WireHeader h;
    Bytes frame(sizeof h);
    if (!receiveAll(fd, frame.data(), sizeof h))
        fail("the sender closed the connection");
    std::memcpy(&h, frame.data(), sizeof h);
    frame.resize(sizeof h + h.metadataBytes + h.payloadBytes);
    if (!receiveAll(fd, frame.data() + sizeof h, frame.size() - sizeof h))
        fail("the sender closed the connection");
    return frame;
}

loopback::WireHeader headerOf(const Bytes& frame)
{
    loopback::WireHeader h;
    std::memcpy(&h, frame.data(), sizeof h);
    return h;
}

Bytes withHeader(Bytes frame, const loopback::WireHeader& h)
{
    std::memcpy(frame.data(), &h, sizeof h);
    return frame;
}

void write(const std::filesystem::path& folder, const std::string& name, const Bytes& bytes)
{
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        fail("cannot write " + (folder / name).string());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        fail("usage: kestrix-fuzz-seeds-loopback-wire FOLDER");
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);

    // A discovery folder of our own, so no one sees this sender.
    char discovery[] = "/tmp/kestrix-seeds-XXXXXX";
    if (::mkdtemp(discovery) == nullptr)
        fail("cannot make a discovery folder");
    ::setenv("KESTRIX_LOOPBACK_DIR", discovery, 1);

    NDIlib_send_create_t settings;
    settings.p_ndi_name = "Seeds";
    settings.clock_audio = settings.clock_video = false;
    NDIlib_send_instance_t sender = NDIlib_send_create(&settings);
    if (sender == nullptr)
        fail("cannot create a sender");
    const std::string address = NDIlib_send_get_source_name(sender)->p_url_address;

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(address.find(':') + 1))));
    const loopback::WireHello hello;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::send(fd, &hello, sizeof hello, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof hello) ||
        NDIlib_send_get_no_connections(sender, 2000) != 1)
        fail("cannot connect to the sender");

    std::vector<float> samples(2 * 8);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(i) / 16.0f;
    NDIlib_audio_frame_v2_t audio;
    audio.no_channels = 2;
    audio.no_samples = 8;
    audio.p_data = samples.data();
    NDIlib_send_send_audio_v2(sender, &audio);
    write(folder, "audio", nextFrame(fd));
    audio.p_metadata = "<ndi_tally on_program=\"true\"/>";
    NDIlib_send_send_audio_v2(sender, &audio);
    const Bytes audioWithText = nextFrame(fd);
    write(folder, "audio-metadata", audioWithText);

    Bytes pixels(8 * 2 * 2);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i * 13);
    NDIlib_video_frame_v2_t picture;
    picture.xres = 8;
    picture.yres = 2;
    picture.frame_rate_N = 25;
    picture.frame_rate_D = 1;
    picture.p_data = pixels.data();
    NDIlib_send_send_video_v2(sender, &picture);
    const Bytes uyvy = nextFrame(fd);
    write(folder, "video-uyvy", uyvy);
    picture.line_stride_in_bytes = 24; // padded lines
    picture.p_metadata = "<frame n=\"2\"/>";
    pixels.resize(24 * 2);
    picture.p_data = pixels.data();
    NDIlib_send_send_video_v2(sender, &picture);
    write(folder, "video-uyvy-padded-metadata", nextFrame(fd));

    picture.FourCC = static_cast<NDIlib_FourCC_video_type_e>(KESTRIX_NDI_FOURCC('H', '2', '6', '4'));
    picture.data_size_in_bytes = 20;
    picture.p_metadata = nullptr;
    NDIlib_send_send_video_v2(sender, &picture);
    const Bytes compressed = nextFrame(fd);
    write(folder, "video-compressed", compressed);

    // The runtime has no call that sends metadata alone: the frame is built as its sender builds one.
    const std::string text = "<ndi_capabilities ntk_ptz=\"false\"/>";
    loopback::WireHeader h;
    h.kind = loopback::WireKind::metadata;
    h.metadataBytes = static_cast<uint32_t>(text.size() + 1);
    Bytes metadata(sizeof h + h.metadataBytes);
    std::memcpy(metadata.data() + sizeof h, text.c_str(), h.metadataBytes);
    write(folder, "metadata", withHeader(metadata, h));

    // Near misses: each breaks one rule the parser keeps.
    h = headerOf(uyvy);
    h.strideOrSize += 4;
    write(folder, "near-video-stride-not-matching-size", withHeader(uyvy, h));
    write(folder, "near-video-truncated", Bytes(uyvy.begin(), uyvy.end() - 1));
    h = headerOf(uyvy);
    h.xres += 1;
    write(folder, "near-video-odd-width", withHeader(uyvy, h));
    h = headerOf(compressed);
    h.strideOrSize -= 1;
    write(folder, "near-video-compressed-size", withHeader(compressed, h));
    h = headerOf(audioWithText);
    h.samples += 1;
    write(folder, "near-audio-shape", withHeader(audioWithText, h));
    Bytes unterminated = audioWithText;
    unterminated[sizeof h + headerOf(audioWithText).metadataBytes - 1] = '>';
    write(folder, "near-audio-metadata-unterminated", unterminated);

    ::close(fd);
    NDIlib_send_destroy(sender);
    std::filesystem::remove_all(discovery);
    std::printf("seeds written to %s\n", folder.string().c_str());
    return 0;
}
