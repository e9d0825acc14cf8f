#pragma once

#include "ndi/RoutingMaps.h"

// The send side: each block, copies source channels into every sender's
// block, delays it and hands it to NDI.
class NDITx {
public:
    NDITx(SenderMap& senders, SourceFramesMap& frames, SourceFreshAudio& freshAudio,
          SenderChannelMappings& channelMappings);
    virtual ~NDITx() = default;

    // Audio thread; allocates nothing and never waits.
    void processBlock();

    // Audio thread, when the device starts.
    void setFormat(int rate, int blockLength);

    // Routing is a copy: each sender channel carries one source channel or silence.
    void copyChannels();
    void delayAndSend();

private:
    const FramesContainer* usableSource(const std::string& sourceName) const;

    SenderMap& senders;
    SourceFramesMap& frames;
    SourceFreshAudio& freshAudio;
    SenderChannelMappings& channelMappings;
    int sampleRate = 0;
    int bufferSize = 0;
};
