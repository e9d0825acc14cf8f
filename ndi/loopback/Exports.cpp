// The NDI C functions, as the loopback runtime provides them.

#include "Finder.h"
#include "FrameSync.h"
#include "Receiver.h"
#include "Sender.h"

#include <memory>

using namespace loopback;

namespace {

// A frame-sync handle keeps its core alive for the receiver's thread, which
// may be pushing a frame into it at the moment the handle is destroyed.
struct FrameSyncHandle {
    std::shared_ptr<FrameSync> sync;
    Receiver* receiver = nullptr;
};

Finder* asFinder(NDIlib_find_instance_t p)
{
    return reinterpret_cast<Finder*>(p);
}
Receiver* asReceiver(NDIlib_recv_instance_t p)
{
    return reinterpret_cast<Receiver*>(p);
}
Sender* asSender(NDIlib_send_instance_t p)
{
    return reinterpret_cast<Sender*>(p);
}
FrameSyncHandle* asFrameSync(NDIlib_framesync_instance_t p)
{
    return reinterpret_cast<FrameSyncHandle*>(p);
}

} // namespace

extern "C" {

KESTRIX_NDI_EXPORT bool NDIlib_initialize(void)
{
    return true;
}
KESTRIX_NDI_EXPORT void NDIlib_destroy(void) { }
KESTRIX_NDI_EXPORT const char* NDIlib_version(void)
{
    return "KESTRIX NDI LOOPBACK RUNTIME 1.0.0";
}

KESTRIX_NDI_EXPORT NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* settings)
{
    return reinterpret_cast<NDIlib_find_instance_t>(new Finder(settings));
}

KESTRIX_NDI_EXPORT NDIlib_find_instance_t NDIlib_find_create_v3(const NDIlib_find_create_t* settings, const char*)
{
    return NDIlib_find_create_v2(settings);
}

KESTRIX_NDI_EXPORT const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t p, uint32_t* n)
{
    if (p == nullptr) {
        if (n != nullptr)
            *n = 0;
        return nullptr;
    }
    return asFinder(p)->currentSources(n);
}

KESTRIX_NDI_EXPORT const NDIlib_source_v2_t* NDIlib_find_get_current_sources_v2(NDIlib_find_instance_t p, uint32_t* n)
{
    if (p == nullptr) {
        if (n != nullptr)
            *n = 0;
        return nullptr;
    }
    return asFinder(p)->currentSourcesV2(n);
}

KESTRIX_NDI_EXPORT bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p, uint32_t timeout)
{
    return p != nullptr && asFinder(p)->waitForSources(timeout);
}

KESTRIX_NDI_EXPORT void NDIlib_find_destroy(NDIlib_find_instance_t p)
{
    delete asFinder(p);
}

KESTRIX_NDI_EXPORT NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t* settings)
{
    return reinterpret_cast<NDIlib_recv_instance_t>(Receiver::create(settings));
}

KESTRIX_NDI_EXPORT NDIlib_recv_instance_t NDIlib_recv_create_v4(const NDIlib_recv_create_v3_t* settings, const char*)
{
    return NDIlib_recv_create_v3(settings);
}

KESTRIX_NDI_EXPORT void NDIlib_recv_destroy(NDIlib_recv_instance_t p)
{
    delete asReceiver(p);
}

KESTRIX_NDI_EXPORT NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t p, NDIlib_video_frame_v2_t* video,
    NDIlib_audio_frame_v2_t* audio, NDIlib_metadata_frame_t* metadata, uint32_t timeout)
{
    return p == nullptr ? NDIlib_frame_type_error : asReceiver(p)->capture(video, audio, nullptr, metadata, timeout);
}

KESTRIX_NDI_EXPORT NDIlib_frame_type_e NDIlib_recv_capture_v3(NDIlib_recv_instance_t p, NDIlib_video_frame_v2_t* video,
    NDIlib_audio_frame_v3_t* audio, NDIlib_metadata_frame_t* metadata, uint32_t timeout)
{
    return p == nullptr ? NDIlib_frame_type_error : asReceiver(p)->capture(video, nullptr, audio, metadata, timeout);
}

KESTRIX_NDI_EXPORT void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t p, const NDIlib_video_frame_v2_t* f)
{
    if (p != nullptr && f != nullptr)
        asReceiver(p)->freeData(f->p_data);
}

KESTRIX_NDI_EXPORT void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t p, const NDIlib_audio_frame_v2_t* f)
{
    if (p != nullptr && f != nullptr)
        asReceiver(p)->freeData(f->p_data);
}

KESTRIX_NDI_EXPORT void NDIlib_recv_free_audio_v3(NDIlib_recv_instance_t p, const NDIlib_audio_frame_v3_t* f)
{
    if (p != nullptr && f != nullptr)
        asReceiver(p)->freeData(f->p_data);
}

KESTRIX_NDI_EXPORT void NDIlib_recv_free_metadata(NDIlib_recv_instance_t p, const NDIlib_metadata_frame_t* f)
{
    if (p != nullptr && f != nullptr)
        asReceiver(p)->freeData(f->p_data);
}

KESTRIX_NDI_EXPORT NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t p)
{
    if (p == nullptr)
        return nullptr;
    auto* handle = new FrameSyncHandle{std::make_shared<FrameSync>(), asReceiver(p)};
    handle->receiver->attach(handle->sync);
    return reinterpret_cast<NDIlib_framesync_instance_t>(handle);
}

KESTRIX_NDI_EXPORT void NDIlib_framesync_destroy(NDIlib_framesync_instance_t p)
{
    if (p == nullptr)
        return;
    FrameSyncHandle* handle = asFrameSync(p);
    handle->receiver->detach(handle->sync.get());
    delete handle;
}

KESTRIX_NDI_EXPORT void NDIlib_framesync_capture_audio(
    NDIlib_framesync_instance_t p, NDIlib_audio_frame_v2_t* frame, int sampleRate, int channels, int samples)
{
    if (p != nullptr && frame != nullptr)
        asFrameSync(p)->sync->captureAudio(*frame, sampleRate, channels, samples);
}

KESTRIX_NDI_EXPORT void NDIlib_framesync_free_audio(NDIlib_framesync_instance_t p, NDIlib_audio_frame_v2_t* frame)
{
    if (p != nullptr && frame != nullptr)
        asFrameSync(p)->sync->freeAudio(*frame);
}

KESTRIX_NDI_EXPORT int NDIlib_framesync_audio_queue_depth(NDIlib_framesync_instance_t p)
{
    return p == nullptr ? 0 : asFrameSync(p)->sync->queueDepth();
}

KESTRIX_NDI_EXPORT void NDIlib_framesync_capture_video(
    NDIlib_framesync_instance_t p, NDIlib_video_frame_v2_t* frame, NDIlib_frame_format_type_e)
{
    if (p != nullptr && frame != nullptr)
        asFrameSync(p)->sync->captureVideo(*frame);
}

KESTRIX_NDI_EXPORT void NDIlib_framesync_free_video(NDIlib_framesync_instance_t p, NDIlib_video_frame_v2_t* frame)
{
    if (p != nullptr && frame != nullptr)
        asFrameSync(p)->sync->freeVideo(*frame);
}

KESTRIX_NDI_EXPORT NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* settings)
{
    return reinterpret_cast<NDIlib_send_instance_t>(Sender::create(settings));
}

KESTRIX_NDI_EXPORT NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* settings, const char*)
{
    return NDIlib_send_create(settings);
}

KESTRIX_NDI_EXPORT void NDIlib_send_destroy(NDIlib_send_instance_t p)
{
    delete asSender(p);
}

KESTRIX_NDI_EXPORT void NDIlib_send_send_video_v2(NDIlib_send_instance_t p, const NDIlib_video_frame_v2_t* frame)
{
    if (p != nullptr && frame != nullptr)
        asSender(p)->sendVideo(*frame);
}

KESTRIX_NDI_EXPORT void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p, const NDIlib_audio_frame_v2_t* frame)
{
    if (p != nullptr && frame != nullptr)
        asSender(p)->sendAudio(*frame);
}

KESTRIX_NDI_EXPORT const NDIlib_source_t* NDIlib_send_get_source_name(NDIlib_send_instance_t p)
{
    return p == nullptr ? nullptr : asSender(p)->source();
}

KESTRIX_NDI_EXPORT int NDIlib_send_get_no_connections(NDIlib_send_instance_t p, uint32_t timeout)
{
    return p == nullptr ? 0 : asSender(p)->connectionCount(timeout);
}

} // extern "C"
