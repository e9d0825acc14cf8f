#pragma once

#include "engine/RoutingMaps.h"

// The send side: each block, copies source channels into every sender's
// block, delays it and hands it to NDI.
//
// Threads: the audio thread only; allocates nothing and never waits.
class NDITx {
public:
    explicit NDITx(SenderMap& senders);
    virtual ~NDITx() = default;

    void processBlock();

    // Routing is a copy: each sender channel carries one source channel or silence.
    void copyChannels();
    void delayAndSend();

private:
    // What goes out of each channel, for the meters.
    static void meter(SenderState& sender, const NDIlib_audio_frame_v2_t& out);

    SenderMap& senders;
};
