#include "engine/ReceiveSlot.h"

#include "ndi/NdiLibrary.h"

SourceReceiver::SourceReceiver(const std::string& sourceName, NDIlib_recv_bandwidth_e wanted) : bandwidth(wanted)
{
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = sourceName.c_str();
    settings.source_to_connect_to.p_url_address = nullptr;
    // Compressed video and audio pass through untouched where the runtime can;
    // the audio the router uses comes decoded from the frame-sync either way.
    settings.color_format = ndiRuntimeIsAdvanced() ? NDIlib_recv_color_format_ex_compressed_v4_with_audio
                                                   : NDIlib_recv_color_format_UYVY_BGRA;
    settings.bandwidth = wanted;
    settings.allow_video_fields = true;
    settings.p_ndi_recv_name = nullptr;
    receiver = ndi().recv_create_v4(&settings, nullptr);
    if (receiver == nullptr)
        return;
    frameSync = ndi().framesync_create(receiver);
    if (frameSync == nullptr) {
        ndi().recv_destroy(receiver);
        receiver = nullptr;
    }
}

SourceReceiver::~SourceReceiver()
{
    if (frameSync != nullptr)
        ndi().framesync_destroy(frameSync);
    if (receiver != nullptr)
        ndi().recv_destroy(receiver);
}

ReceiveSlot::ReceiveSlot(std::string name) : sourceName(std::move(name)) { }

ReceiveSlot::~ReceiveSlot()
{
    // The block goes back to the frame-sync before the receiver can go.
    frames.releaseAudio();
    if (outgoing && outgoingAudio.p_data != nullptr)
        ndi().framesync_free_audio(outgoing->frameSync, &outgoingAudio);
}
