#pragma once

// The subset of the NDI SDK's C interface that Kestrix uses, declared from the
// SDK's documented names, layouts and values so that the same binary works
// with the real runtime and with Kestrix's loopback runtime. Kestrix never
// calls these functions directly: it resolves them at run time (NdiLibrary).
// The loopback runtime defines them, so the compiler checks both sides agree.

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define KESTRIX_NDI_EXPORT __declspec(dllexport)
#else
#define KESTRIX_NDI_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

struct NDIlib_find_instance_type;
struct NDIlib_recv_instance_type;
struct NDIlib_send_instance_type;
struct NDIlib_framesync_instance_type;
typedef NDIlib_find_instance_type* NDIlib_find_instance_t;
typedef NDIlib_recv_instance_type* NDIlib_recv_instance_t;
typedef NDIlib_send_instance_type* NDIlib_send_instance_t;
typedef NDIlib_framesync_instance_type* NDIlib_framesync_instance_t;

static const int64_t NDIlib_send_timecode_synthesize = INT64_MAX;
static const int64_t NDIlib_recv_timestamp_undefined = INT64_MAX;

typedef enum NDIlib_frame_type_e {
    NDIlib_frame_type_none = 0,
    NDIlib_frame_type_video = 1,
    NDIlib_frame_type_audio = 2,
    NDIlib_frame_type_metadata = 3,
    NDIlib_frame_type_error = 4,
    NDIlib_frame_type_status_change = 100,
    NDIlib_frame_type_source_change = 101,
    NDIlib_frame_type_max = 0x7fffffff
} NDIlib_frame_type_e;

typedef enum NDIlib_recv_bandwidth_e {
    NDIlib_recv_bandwidth_metadata_only = -10,
    NDIlib_recv_bandwidth_audio_only = 10,
    NDIlib_recv_bandwidth_lowest = 0,
    NDIlib_recv_bandwidth_highest = 100,
    NDIlib_recv_bandwidth_max = 0x7fffffff
} NDIlib_recv_bandwidth_e;

typedef enum NDIlib_recv_color_format_e {
    NDIlib_recv_color_format_BGRX_BGRA = 0,
    NDIlib_recv_color_format_UYVY_BGRA = 1,
    NDIlib_recv_color_format_RGBX_RGBA = 2,
    NDIlib_recv_color_format_UYVY_RGBA = 3,
    NDIlib_recv_color_format_fastest = 100,
    NDIlib_recv_color_format_best = 101,
    // Advanced SDK extension: compressed video and audio pass through as they are.
    NDIlib_recv_color_format_ex_compressed_v4_with_audio = 305,
    NDIlib_recv_color_format_max = 0x7fffffff
} NDIlib_recv_color_format_e;

typedef enum NDIlib_frame_format_type_e {
    NDIlib_frame_format_type_progressive = 1,
    NDIlib_frame_format_type_interleaved = 0,
    NDIlib_frame_format_type_field_0 = 2,
    NDIlib_frame_format_type_field_1 = 3,
    NDIlib_frame_format_type_max = 0x7fffffff
} NDIlib_frame_format_type_e;

#define KESTRIX_NDI_FOURCC(a, b, c, d)                                                                                 \
    ((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16) |                         \
        ((uint32_t)(uint8_t)(d) << 24))

typedef enum NDIlib_FourCC_video_type_e {
    NDIlib_FourCC_video_type_UYVY = KESTRIX_NDI_FOURCC('U', 'Y', 'V', 'Y'),
    NDIlib_FourCC_video_type_UYVA = KESTRIX_NDI_FOURCC('U', 'Y', 'V', 'A'),
    NDIlib_FourCC_video_type_P216 = KESTRIX_NDI_FOURCC('P', '2', '1', '6'),
    NDIlib_FourCC_video_type_PA16 = KESTRIX_NDI_FOURCC('P', 'A', '1', '6'),
    NDIlib_FourCC_video_type_YV12 = KESTRIX_NDI_FOURCC('Y', 'V', '1', '2'),
    NDIlib_FourCC_video_type_I420 = KESTRIX_NDI_FOURCC('I', '4', '2', '0'),
    NDIlib_FourCC_video_type_NV12 = KESTRIX_NDI_FOURCC('N', 'V', '1', '2'),
    NDIlib_FourCC_video_type_BGRA = KESTRIX_NDI_FOURCC('B', 'G', 'R', 'A'),
    NDIlib_FourCC_video_type_BGRX = KESTRIX_NDI_FOURCC('B', 'G', 'R', 'X'),
    NDIlib_FourCC_video_type_RGBA = KESTRIX_NDI_FOURCC('R', 'G', 'B', 'A'),
    NDIlib_FourCC_video_type_RGBX = KESTRIX_NDI_FOURCC('R', 'G', 'B', 'X'),
    NDIlib_FourCC_video_type_max = 0x7fffffff
} NDIlib_FourCC_video_type_e;

typedef enum NDIlib_FourCC_audio_type_e {
    NDIlib_FourCC_audio_type_FLTP = KESTRIX_NDI_FOURCC('F', 'L', 'T', 'p'),
    NDIlib_FourCC_audio_type_max = 0x7fffffff
} NDIlib_FourCC_audio_type_e;

// Field defaults are those of the SDK's C++ constructors.

typedef struct NDIlib_source_t {
    const char* p_ndi_name = nullptr;
    union {
        const char* p_url_address = nullptr;
        const char* p_ip_address;
    };
} NDIlib_source_t;

typedef struct NDIlib_source_v2_t {
    const char* p_ndi_name = nullptr;
    const char* p_url_address = nullptr;
    const char* p_metadata = nullptr;
} NDIlib_source_v2_t;

typedef struct NDIlib_find_create_t {
    bool show_local_sources = true;
    const char* p_groups = nullptr;
    const char* p_extra_ips = nullptr;
} NDIlib_find_create_t;

typedef struct NDIlib_recv_create_v3_t {
    NDIlib_source_t source_to_connect_to{};
    NDIlib_recv_color_format_e color_format = NDIlib_recv_color_format_UYVY_BGRA;
    NDIlib_recv_bandwidth_e bandwidth = NDIlib_recv_bandwidth_highest;
    bool allow_video_fields = true;
    const char* p_ndi_recv_name = nullptr;
} NDIlib_recv_create_v3_t;

typedef struct NDIlib_send_create_t {
    const char* p_ndi_name = nullptr;
    const char* p_groups = nullptr;
    bool clock_video = true;
    bool clock_audio = true;
} NDIlib_send_create_t;

typedef struct NDIlib_video_frame_v2_t {
    int xres = 0;
    int yres = 0;
    NDIlib_FourCC_video_type_e FourCC = NDIlib_FourCC_video_type_UYVY;
    int frame_rate_N = 30000;
    int frame_rate_D = 1001;
    float picture_aspect_ratio = 0.0f;
    NDIlib_frame_format_type_e frame_format_type = NDIlib_frame_format_type_progressive;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    uint8_t* p_data = nullptr;
    union {
        int line_stride_in_bytes = 0;
        int data_size_in_bytes;
    };
    const char* p_metadata = nullptr;
    int64_t timestamp = 0;
} NDIlib_video_frame_v2_t;

typedef struct NDIlib_audio_frame_v2_t {
    int sample_rate = 48000;
    int no_channels = 2;
    int no_samples = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    float* p_data = nullptr;
    int channel_stride_in_bytes = 0;
    const char* p_metadata = nullptr;
    int64_t timestamp = 0;
} NDIlib_audio_frame_v2_t;

typedef struct NDIlib_audio_frame_v3_t {
    int sample_rate = 48000;
    int no_channels = 2;
    int no_samples = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    NDIlib_FourCC_audio_type_e FourCC = NDIlib_FourCC_audio_type_FLTP;
    uint8_t* p_data = nullptr;
    union {
        int channel_stride_in_bytes = 0;
        int data_size_in_bytes;
    };
    const char* p_metadata = nullptr;
    int64_t timestamp = 0;
} NDIlib_audio_frame_v3_t;

typedef struct NDIlib_metadata_frame_t {
    int length = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    char* p_data = nullptr;
} NDIlib_metadata_frame_t;

// Library lifetime
bool NDIlib_initialize(void);
void NDIlib_destroy(void);
const char* NDIlib_version(void);

// Finding sources (the _v3 create and _v2 list are Advanced SDK entries)
NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* p_create_settings);
NDIlib_find_instance_t NDIlib_find_create_v3(const NDIlib_find_create_t* p_create_settings, const char* p_config_data);
const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance, uint32_t* p_no_sources);
const NDIlib_source_v2_t* NDIlib_find_get_current_sources_v2(NDIlib_find_instance_t p_instance, uint32_t* p_no_sources);
bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms);
void NDIlib_find_destroy(NDIlib_find_instance_t p_instance);

// Receiving (_v4 create is an Advanced SDK entry)
NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t* p_create_settings);
NDIlib_recv_instance_t NDIlib_recv_create_v4(
    const NDIlib_recv_create_v3_t* p_create_settings, const char* p_config_data);
void NDIlib_recv_destroy(NDIlib_recv_instance_t p_instance);
NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data,
    NDIlib_audio_frame_v2_t* p_audio_data, NDIlib_metadata_frame_t* p_metadata, uint32_t timeout_in_ms);
NDIlib_frame_type_e NDIlib_recv_capture_v3(NDIlib_recv_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data,
    NDIlib_audio_frame_v3_t* p_audio_data, NDIlib_metadata_frame_t* p_metadata, uint32_t timeout_in_ms);
void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data);
void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t p_instance, const NDIlib_audio_frame_v2_t* p_audio_data);
void NDIlib_recv_free_audio_v3(NDIlib_recv_instance_t p_instance, const NDIlib_audio_frame_v3_t* p_audio_data);
void NDIlib_recv_free_metadata(NDIlib_recv_instance_t p_instance, const NDIlib_metadata_frame_t* p_metadata);

// Frame synchroniser
NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t p_receiver);
void NDIlib_framesync_destroy(NDIlib_framesync_instance_t p_instance);
void NDIlib_framesync_capture_audio(NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v2_t* p_audio_data,
    int sample_rate, int no_channels, int no_samples);
void NDIlib_framesync_free_audio(NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v2_t* p_audio_data);
int NDIlib_framesync_audio_queue_depth(NDIlib_framesync_instance_t p_instance);
void NDIlib_framesync_capture_video(NDIlib_framesync_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data,
    NDIlib_frame_format_type_e field_type);
void NDIlib_framesync_free_video(NDIlib_framesync_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data);

// Sending (_v2 create is an Advanced SDK entry)
NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* p_create_settings);
NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* p_create_settings, const char* p_config_data);
void NDIlib_send_destroy(NDIlib_send_instance_t p_instance);
void NDIlib_send_send_video_v2(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data);
void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p_instance, const NDIlib_audio_frame_v2_t* p_audio_data);
const NDIlib_source_t* NDIlib_send_get_source_name(NDIlib_send_instance_t p_instance);
int NDIlib_send_get_no_connections(NDIlib_send_instance_t p_instance, uint32_t timeout_in_ms);

} // extern "C"

// The runtime is a binary interface: these layouts must match it byte for byte.
static_assert(sizeof(NDIlib_source_t) == 16);
static_assert(sizeof(NDIlib_source_v2_t) == 24);
static_assert(sizeof(NDIlib_find_create_t) == 24);
static_assert(sizeof(NDIlib_recv_create_v3_t) == 40 && offsetof(NDIlib_recv_create_v3_t, p_ndi_recv_name) == 32);
static_assert(sizeof(NDIlib_send_create_t) == 24 && offsetof(NDIlib_send_create_t, clock_audio) == 17);
static_assert(sizeof(NDIlib_video_frame_v2_t) == 72 && offsetof(NDIlib_video_frame_v2_t, timecode) == 32 &&
    offsetof(NDIlib_video_frame_v2_t, p_metadata) == 56);
static_assert(sizeof(NDIlib_audio_frame_v2_t) == 56 && offsetof(NDIlib_audio_frame_v2_t, p_data) == 24 &&
    offsetof(NDIlib_audio_frame_v2_t, timestamp) == 48);
static_assert(sizeof(NDIlib_audio_frame_v3_t) == 64 && offsetof(NDIlib_audio_frame_v3_t, p_data) == 32 &&
    offsetof(NDIlib_audio_frame_v3_t, timestamp) == 56);
static_assert(sizeof(NDIlib_metadata_frame_t) == 24);
static_assert(sizeof(NDIlib_frame_type_e) == 4 && sizeof(NDIlib_recv_bandwidth_e) == 4);
static_assert(NDIlib_FourCC_video_type_UYVY == 0x59565955 && NDIlib_FourCC_audio_type_FLTP == 0x70544C46);
