#include "ndi/ReceiveSlot.h"

#include "ndi/NdiLibrary.h"

ReceiveSlot::ReceiveSlot(std::string name) : sourceName(std::move(name))
{
    // Compressed video and audio pass through untouched; the audio the router
    // uses comes decoded from the frame-sync.
    receiverSettings.color_format = NDIlib_recv_color_format_ex_compressed_v4_with_audio;
    receiverSettings.bandwidth = NDIlib_recv_bandwidth_highest;
    receiverSettings.allow_video_fields = true;
    receiverSettings.p_ndi_recv_name = nullptr;
}

void ReceiveSlot::openReceiver()
{
    receiverSettings.source_to_connect_to.p_ndi_name = sourceName.c_str();
    receiverSettings.source_to_connect_to.p_url_address = nullptr;
    receiver = ndi().recv_create_v4(&receiverSettings, nullptr);
    if (receiver == nullptr)
        return;
    frameSync = ndi().framesync_create(receiver);
    if (frameSync == nullptr) {
        ndi().recv_destroy(receiver);
        receiver = nullptr;
    }
}

void ReceiveSlot::closeReceiver()
{
    if (frameSync != nullptr)
        ndi().framesync_destroy(frameSync);
    if (receiver != nullptr)
        ndi().recv_destroy(receiver);
    frameSync = nullptr;
    receiver = nullptr;
}
