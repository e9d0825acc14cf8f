#include "engine/RoutingCore.h"
#include "engine/PrintableText.h"

#include "ndi/NdiLibrary.h"

#include <QtCore/QDebug>

#include <algorithm>
#include <iostream>

namespace {

// The most channels of one source that are metered.
constexpr size_t kMaxMeteredChannels = 4096;
// Room for the sources of a large network before the slot list must grow.
constexpr size_t kInitialSlots = 64;
// How often the worker looks for work the audio thread left it.
constexpr auto kWorkerPeriod = std::chrono::milliseconds(5);
// A source whose receiver could not be made is tried again after this.
constexpr auto kReceiverRetry = std::chrono::milliseconds(500);

} // namespace

RoutingCore::RoutingCore(Listener* coreListener, NDISourceFinder& sourceFinder)
    : listener(coreListener), finder(sourceFinder)
{
    _ndiRecvDataList.reserve(kInitialSlots);
    model.slotCapacity = kInitialSlots;
    worker = std::thread([this] { runWorker(); });
}

RoutingCore::~RoutingCore()
{
    videoPassThrough.stop();
    ndiRx.stop(); // the probe, which reports through the finder, is over
    finder.setListener(nullptr);
    {
        std::lock_guard lock(workerMutex);
        stopping = true;
    }
    workerWake.notify_all();
    worker.join();
    // What the worker did not get to is freed with the lists; nothing reports any more.
}

// ---------------------------------------------------------------------------
// Changes (any thread but the audio thread)

void RoutingCore::post(CommandList batch)
{
    const size_t n = batch.size();
    if (n == 0)
        return;
    std::lock_guard lock(postMutex);
    posted.splice(posted.end(), batch);
    postedCount.fetch_add(n, std::memory_order_release);
}

bool RoutingCore::modelAddSender(CommandList& batch, const std::string& name, SenderState state)
{
    // A name already in use keeps its sender as it is.
    if (model.mappings.count(name) != 0)
        return false;
    model.mappings[name] = state.mappings;
    model.videoSources[name] = state.videoSource;
    model.outputs[name] = state.output;

    RoutingCommand& command = batch.emplace_back();
    command.type = CommandType::AddSender;
    command.key = name;
    command.output = state.output;
    SenderMap node;
    node.emplace(name, std::move(state));
    command.senderNode = node.extract(node.begin());
    return true;
}

void RoutingCore::routingChanged()
{
    std::lock_guard lock(changedCallbackMutex);
    if (changedCallback)
        changedCallback();
}

void RoutingCore::addSender(const std::string& name, uint32_t channels)
{
    SenderState state;
    if (!state.initialise(name, channels, rate, block))
        return;
    std::lock_guard lock(modelMutex);
    CommandList batch;
    if (!modelAddSender(batch, name, std::move(state)))
        return;
    post(std::move(batch));
    routingChanged();
}

void RoutingCore::removeSender(const std::string& name)
{
    std::lock_guard lock(modelMutex);
    if (model.mappings.erase(name) == 0)
        return;
    model.videoSources.erase(name);
    model.outputs.erase(name);
    CommandList batch;
    RoutingCommand& command = batch.emplace_back();
    command.type = CommandType::RemoveSender;
    command.key = name;
    post(std::move(batch));
    routingChanged();
}

void RoutingCore::addAudioConnection(
    const std::string& source, uint32_t sourceChannel, const std::string& sender, uint32_t senderChannel)
{
    std::lock_guard lock(modelMutex);
    const auto mappings = model.mappings.find(sender);
    if (mappings == model.mappings.end() || senderChannel >= mappings->second.size())
        return;
    const bool connect = sourceChannel != kNoChannel && !source.empty();
    mappings->second[senderChannel] = connect ? ChannelMapping{sourceChannel, source} : ChannelMapping{};
    CommandList batch;
    RoutingCommand& command = batch.emplace_back();
    command.type = CommandType::SetChannelMapping;
    command.senderName = sender;
    command.senderChannel = senderChannel;
    command.sourceName = connect ? source : std::string();
    command.sourceChannel = connect ? sourceChannel : kNoChannel;
    post(std::move(batch));
    routingChanged();
}

void RoutingCore::removeAudioConnection(const std::string& sender, uint32_t senderChannel)
{
    addAudioConnection({}, kNoChannel, sender, senderChannel);
}

void RoutingCore::setVideoConnection(const std::string& source, const std::string& sender)
{
    std::lock_guard lock(modelMutex);
    if (sender == kMonitor || source.empty() || model.mappings.count(sender) == 0)
        return;
    model.videoSources[sender] = source;
    CommandList batch;
    RoutingCommand& command = batch.emplace_back();
    command.type = CommandType::SetVideoSource;
    command.senderName = sender;
    command.sourceName = source;
    post(std::move(batch));
    routingChanged();
}

void RoutingCore::removeVideoConnection(const std::string& sender)
{
    std::lock_guard lock(modelMutex);
    const auto video = model.videoSources.find(sender);
    if (video == model.videoSources.end())
        return;
    model.videoSources.erase(video);
    CommandList batch;
    RoutingCommand& command = batch.emplace_back();
    command.type = CommandType::RemoveVideoSource;
    command.senderName = sender;
    post(std::move(batch));
    routingChanged();
}

void RoutingCore::replaceRouting(StoredRouting routing)
{
    // Buffers first, outside the lock: a large file takes a while to prepare.
    std::vector<std::pair<std::string, SenderState>> prepared;
    for (StoredSender& stored : routing.senders) {
        SenderState state;
        if (!state.initialise(stored.name, static_cast<uint32_t>(stored.mappings.size()), rate, block))
            continue;
        state.mappings = std::move(stored.mappings);
        state.videoSource = std::move(stored.videoSource);
        prepared.emplace_back(stored.name, std::move(state));
    }

    std::lock_guard lock(modelMutex);
    CommandList batch;
    batch.emplace_back().type = CommandType::RemoveAllSenders;
    model.mappings.clear();
    model.videoSources.clear();
    model.outputs.clear();
    for (auto& [name, state] : prepared)
        modelAddSender(batch, name, std::move(state));
    RoutingCommand& publish = batch.emplace_back();
    publish.type = CommandType::PublishRouting;
    publish.published = std::make_shared<const PublishedRouting>(PublishedRouting{model.mappings, model.videoSources});
    post(std::move(batch));
    routingChanged();
}

bool RoutingCore::setAVDelay(const std::string& sender, int32_t milliseconds)
{
    std::shared_ptr<SenderOutput> output;
    {
        std::lock_guard lock(modelMutex);
        const auto it = model.outputs.find(sender);
        if (it == model.outputs.end())
            return false;
        output = it->second;
    }
    if (!output->delayLine.setDelay(milliseconds / 1000.0))
        return false;
    routingChanged();
    return true;
}

RoutingSnapshot RoutingCore::routingSnapshot()
{
    std::lock_guard lock(modelMutex);
    RoutingSnapshot snapshot;
    snapshot.mappings = model.mappings;
    snapshot.videoSources = model.videoSources;
    for (const auto& [name, output] : model.outputs)
        snapshot.delaySeconds[name] = output->delayLine.delaySeconds();
    for (const auto& [name, entry] : model.sources)
        snapshot.useCounts[name] = 0;
    for (const auto& [sender, channels] : model.mappings)
        for (const auto& m : channels)
            if (m.sourceChannel != kNoChannel)
                ++snapshot.useCounts[m.sourceName];
    return snapshot;
}

RoutingSnapshot RoutingCore::executedRouting() const
{
    RoutingSnapshot snapshot;
    for (const auto& [name, sender] : senders) {
        snapshot.mappings[name] = sender.mappings;
        if (!sender.videoSource.empty())
            snapshot.videoSources[name] = sender.videoSource;
        if (sender.output)
            snapshot.delaySeconds[name] = sender.output->delayLine.delaySeconds();
    }
    for (const auto& slot : _ndiRecvDataList)
        snapshot.useCounts[slot->sourceName] = slot->useCount;
    return snapshot;
}

bool RoutingCore::waitForCommands(std::chrono::milliseconds timeout)
{
    const uint64_t target = postedCount.load(std::memory_order_acquire);
    std::unique_lock lock(workerMutex);
    return reported.wait_for(lock, timeout, [&] { return reportedCount >= target; });
}

void RoutingCore::onRoutingPublished(std::function<void()> callback)
{
    std::lock_guard lock(callbackMutex);
    publishedCallback = std::move(callback);
}

void RoutingCore::onRoutingChanged(std::function<void()> callback)
{
    std::lock_guard lock(changedCallbackMutex);
    changedCallback = std::move(callback);
}

void RoutingCore::setFormat(int sampleRate, int samplesPerBlock)
{
    const bool restart = rate != 0;
    const bool changed = sampleRate != rate || samplesPerBlock != block;
    rate = sampleRate;
    block = samplesPerBlock;
    ndiRx.setFormat(sampleRate, samplesPerBlock);
    // A restart keeps the show: only the block changes size. No block runs
    // now, and nothing but the audio thread touches these buffers.
    if (restart && changed)
        for (auto& [name, sender] : senders)
            sender.reformat(sampleRate, samplesPerBlock);
}

void RoutingCore::followClockScheduling(bool clockIsRealtime)
{
    const bool before = ndiRx.captureScheduling().realtime;
    const RealtimeScheduling::Grant grant = ndiRx.followClock(clockIsRealtime);
    if (grant.realtime != before || (clockIsRealtime && !grant.realtime))
        qInfo().noquote() << "Real-time scheduling: the" << ndiRx.captureWorkerCount() << "capture workers run at"
                          << grant.describe().c_str();
}

void RoutingCore::listenToFinder()
{
    finder.setListener(this);
}

// ---------------------------------------------------------------------------
// Reports of the finder and the probe (probe thread)

std::set<std::string> RoutingCore::senderChannelMappings()
{
    std::lock_guard lock(modelMutex);
    std::set<std::string> names;
    for (const auto& [name, mappings] : model.mappings)
        names.insert(name);
    return names;
}

std::vector<NDIRx::ProbeItem> RoutingCore::sourcesToProbe()
{
    std::lock_guard lock(modelMutex);
    std::vector<NDIRx::ProbeItem> items(model.sources.size());
    for (const auto& [name, entry] : model.sources)
        items[entry.index] = {name, entry.channelCount};
    return items;
}

void RoutingCore::sourceChannelCountDetected(const std::string& source, uint32_t count)
{
    std::lock_guard lock(modelMutex);
    const auto entry = model.sources.find(source);
    // Only a change is news: a gone source is re-reported at every probe.
    if (entry == model.sources.end() || entry->second.channelCount == count)
        return;
    entry->second.channelCount = count;
    CommandList batch;
    RoutingCommand& command = batch.emplace_back();
    command.type = CommandType::SourceChannelCount;
    command.name = source;
    command.count = count;
    command.reportCount = true;
    if (count != kNoChannel && count > entry->second.levels->channels()) {
        command.levels = std::make_shared<ChannelLevels>(std::min<size_t>(count, kMaxMeteredChannels));
        entry->second.levels = command.levels;
    }
    post(std::move(batch));
}

void RoutingCore::sourceSampleRateDetected(const std::string& source, int sampleRate)
{
    std::lock_guard lock(modelMutex);
    if (const auto entry = model.sources.find(source); entry != model.sources.end())
        entry->second.sampleRate = sampleRate;
}

void RoutingCore::previewSource(const std::string& source)
{
    std::lock_guard lock(modelMutex);
    CommandList batch;
    RoutingCommand& command = batch.emplace_back();
    command.type = CommandType::PreviewSource;
    command.name = source;
    post(std::move(batch));
}

void RoutingCore::sourcesChanged(NDISourceFinder& sourceFinder)
{
    const std::set<std::string>& current = sourceFinder.sources;
    std::vector<std::string> removed;
    std::vector<std::pair<std::string, uint32_t>> added;
    std::vector<uint64_t> returning;
    size_t slotCount = 0;
    {
        std::lock_guard lock(modelMutex);
        CommandList batch;
        for (auto& [name, entry] : model.sources) {
            if (current.count(name) != 0)
                continue;
            removed.push_back(name);
            RoutingCommand& command = batch.emplace_back();
            command.type = CommandType::SourceRemoved;
            command.name = name;
            entry.online = false;
            entry.channelCount = kNoChannel;
        }
        for (const std::string& name : current) {
            const auto known = model.sources.find(name);
            if (known != model.sources.end() && known->second.online)
                continue;
            RoutingCommand& command = batch.emplace_back();
            command.type = CommandType::SourceAdded;
            command.name = name;
            uint32_t count = kNoChannel;
            if (known != model.sources.end()) {
                // A source that comes back keeps its slot; it is announced with the count the slot knows.
                returning.push_back(known->second.index);
                known->second.online = true;
                count = known->second.channelCount;
            } else {
                const uint64_t index = model.sources.size();
                command.receiveSeed = NDIRx::makeReceiveSeed(name);
                command.slot = command.receiveSeed->slot.get();
                if (index == model.slotCapacity) {
                    model.slotCapacity *= 2;
                    command.slotList.reserve(model.slotCapacity);
                }
                SourceIndex node;
                node.emplace(name, command.slot);
                command.indexNode = node.extract(node.begin());
                model.sources[name] = {true, kNoChannel, index, 0, command.slot, command.slot->levels};
            }
            if (count != 0)
                added.emplace_back(name, count);
        }
        slotCount = model.sources.size();
        post(std::move(batch));
    }
    for (uint64_t index : returning) {
        qDebug() << "idx: " << index;
        qDebug() << "_ndiRecvDataList size: " << slotCount;
    }
    if (listener == nullptr)
        return;
    for (const auto& name : removed)
        listener->sourceRemoved(name);
    for (const auto& [name, count] : added)
        listener->sourceAdded(name, count);
}

// ---------------------------------------------------------------------------
// The audio thread

void RoutingCore::processBlock(float* const* outputs, int numOutputs, int numSamples, bool ndiRunning)
{
    const auto started = std::chrono::steady_clock::now();
    if (ndiRunning) {
        ndiRx.processBlock(started);
        ndiTx.processBlock();
        videoPassThrough.processBlock();
    } else {
        ndiRx.waitForCapture(started); // the slots that commands change must be back from the capture
    }
    playMonitor(outputs, numOutputs, numSamples);
    for (auto& slot : _ndiRecvDataList)
        if (slot->active)
            slot->freshAudio = false;
    // Before the capture starts, so it sees the routing the changes make.
    processCommands();
    ndiRx.startCapture();
    recordBlockTime(std::chrono::steady_clock::now() - started);
}

void RoutingCore::recordBlockTime(std::chrono::steady_clock::duration took)
{
    const int samples = block.load(std::memory_order_relaxed);
    const int sampleRate = rate.load(std::memory_order_relaxed);
    if (samples <= 0 || sampleRate <= 0)
        return;
    const double period = static_cast<double>(samples) / sampleRate;
    const double load = std::chrono::duration<double>(took).count() / period;
    const uint64_t n = blockCount.load(std::memory_order_relaxed);
    blockLoads[n % kBlockTimes].store(static_cast<float>(load), std::memory_order_relaxed);
    blockCount.store(n + 1, std::memory_order_release);
    if (load > 1.0)
        lateBlocks.fetch_add(1, std::memory_order_relaxed);
}

void RoutingCore::playMonitor(float* const* outputs, int numOutputs, int numSamples)
{
    if (outputs == nullptr)
        return;
    // Every output is written every block: an output left as it was would play its last block again.
    const NDIlib_audio_frame_v2_t* frame = monitor != nullptr ? &monitor->audioFrame : nullptr;
    for (int c = 0; c < numOutputs; ++c) {
        if (outputs[c] == nullptr)
            continue;
        std::fill_n(outputs[c], numSamples, 0.0f);
        if (frame != nullptr && c < frame->no_channels && frame->p_data != nullptr)
            std::copy_n(frame->p_data + static_cast<size_t>(c) * frame->no_samples,
                std::min(numSamples, frame->no_samples), outputs[c]);
    }
}

void RoutingCore::processCommands()
{
    if (!ndiActive)
        return;
    // Never waits on a lock an ordinary thread holds: what cannot be handed over now goes in a later block.
    if (!ranUnreported.empty()) {
        std::unique_lock lock(doneMutex, std::try_to_lock);
        if (lock.owns_lock())
            done.splice(done.end(), ranUnreported);
    }
    if (postedCount.load(std::memory_order_acquire) != takenCount) {
        std::unique_lock lock(postMutex, std::try_to_lock);
        if (lock.owns_lock()) {
            takenCount = postedCount.load(std::memory_order_relaxed);
            pending.splice(pending.end(), posted);
        }
    }
    // The pause after clearing the senders keeps commands waiting, never the clock.
    const auto started = std::chrono::steady_clock::now();
    if (pending.empty() || started < holdCommandsUntil)
        return;

    // A burst of changes runs in portions, in order, so no block runs long.
    const int samples = block.load(std::memory_order_relaxed), sampleRate = rate.load(std::memory_order_relaxed);
    const auto budget = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(kCommandShare * samples / std::max(sampleRate, 1)));
    CommandList ran;
    bool routingChanged = false;
    while (!pending.empty() && !waitsForCapture(pending.front())) {
        routingChanged = execute(pending.front()) || routingChanged;
        ran.splice(ran.end(), pending, pending.begin());
        const auto now = std::chrono::steady_clock::now();
        if (now < holdCommandsUntil || now - started >= budget)
            break;
    }
    if (routingChanged)
        afterRoutingChanged();
    ranUnreported.splice(ranUnreported.end(), ran);
    std::unique_lock lock(doneMutex, std::try_to_lock);
    if (lock.owns_lock())
        done.splice(done.end(), ranUnreported);
}

bool RoutingCore::waitsForCapture(const RoutingCommand& command) const
{
    const bool changesSlot = command.type == CommandType::SourceRemoved ||
        (command.type == CommandType::SourceAdded && !(command.receiveSeed && command.receiveSeed->slot)) ||
        (command.type == CommandType::SourceChannelCount && command.levels);
    if (!changesSlot)
        return false;
    const auto slot = sourceIndex.find(command.name);
    return slot != sourceIndex.end() && slot->second->busyCapturing();
}

bool RoutingCore::execute(RoutingCommand& command)
{
    switch (command.type) {
    case CommandType::SourceRemoved: {
        const auto slot = sourceIndex.find(command.name);
        if (slot == sourceIndex.end())
            return false;
        ReceiveSlot& s = *slot->second;
        s.active = false;
        s.frames.active = false;
        s.frames.audioFrame.no_channels = 0;
        return true;
    }
    case CommandType::SourceAdded: executeSourceAdded(command); return true;
    case CommandType::RemoveSender:
        command.senderNode = senders.extract(command.key); // freed by the worker, with its NDI instance
        return !command.senderNode.empty();
    case CommandType::AddSender: {
        auto inserted = senders.insert(std::move(command.senderNode));
        if (!inserted.inserted)
            command.senderNode = std::move(inserted.node); // the name is taken: the new one goes back
        return inserted.inserted;
    }
    case CommandType::SourceChannelCount:
        if (command.levels)
            if (const auto slot = sourceIndex.find(command.name); slot != sourceIndex.end())
                std::swap(slot->second->levels, command.levels); // the smaller ones leave with the command
        return false;
    case CommandType::PreviewSource: {
        const auto now = std::chrono::steady_clock::now();
        for (auto& slot : _ndiRecvDataList) {
            const bool previewed = slot->sourceName == command.name;
            if (slot->previewed && !previewed)
                slot->previewUntil = now + ReceiveSlot::kPreviewLinger;
            slot->previewed = previewed;
        }
        return false;
    }
    case CommandType::SetChannelMapping: {
        const auto sender = senders.find(command.senderName);
        if (sender == senders.end() || command.senderChannel >= sender->second.mappings.size())
            return false;
        ChannelMapping& m = sender->second.mappings[command.senderChannel];
        std::swap(m.sourceName, command.sourceName); // the old name leaves with the command
        m.sourceChannel = command.sourceChannel;
        return true;
    }
    case CommandType::SetVideoSource:
    case CommandType::RemoveVideoSource: {
        const auto sender = senders.find(command.senderName);
        if (sender == senders.end())
            return false;
        std::swap(sender->second.videoSource, command.sourceName);
        return true;
    }
    case CommandType::RemoveAllSenders:
        std::swap(senders, command.removedSenders);
        holdCommandsUntil = std::chrono::steady_clock::now() + kRemoveAllPause;
        return true;
    case CommandType::PublishRouting: return false;
    }
    return false;
}

void RoutingCore::executeSourceAdded(RoutingCommand& command)
{
    if (command.receiveSeed && command.receiveSeed->slot) {
        if (command.slotList.capacity() > _ndiRecvDataList.capacity()) {
            // The larger list came prepared; the old one leaves with the command.
            for (auto& slot : _ndiRecvDataList)
                command.slotList.push_back(std::move(slot));
            std::swap(_ndiRecvDataList, command.slotList);
        }
        _ndiRecvDataList.push_back(std::move(command.receiveSeed->slot));
        sourceIndex.insert(std::move(command.indexNode));
        return;
    }
    const auto known = sourceIndex.find(command.name);
    if (known == sourceIndex.end())
        return;
    ReceiveSlot& slot = *known->second;
    if (slot.receiver) {
        // Start the returning source afresh: its old receiver goes, off this thread.
        command.retiredAudio = slot.frames.takeAudio();
        slot.frames.frameSync = nullptr;
        command.retiredReceiver = std::move(slot.receiver);
    }
    slot.active = true;
    slot.frames.active = true;
}

void RoutingCore::afterRoutingChanged()
{
    for (auto& slot : _ndiRecvDataList) {
        slot->useCount = 0;
        slot->videoInUse = false;
    }
    monitor = nullptr;
    for (auto& [name, sender] : senders) {
        if (name == kMonitor)
            monitor = &sender;
        for (size_t ch = 0; ch < sender.mappings.size() && ch < sender.feeds.size(); ++ch) {
            const ChannelMapping& m = sender.mappings[ch];
            ChannelFeed& feed = sender.feeds[ch];
            feed = ChannelFeed{};
            if (m.sourceChannel == kNoChannel)
                continue;
            const auto source = sourceIndex.find(m.sourceName);
            if (source == sourceIndex.end())
                continue; // takes effect when the source comes on line
            feed = ChannelFeed{source->second, m.sourceChannel};
            ++source->second->useCount;
        }
        if (name != kMonitor && !sender.videoSource.empty())
            if (const auto source = sourceIndex.find(sender.videoSource); source != sourceIndex.end())
                source->second->videoInUse = true;
    }
}

// ---------------------------------------------------------------------------
// The worker thread

void RoutingCore::runWorker()
{
    std::unique_lock lock(workerMutex);
    while (!stopping) {
        workerWake.wait_for(lock, kWorkerPeriod);
        lock.unlock();

        CommandList finished;
        {
            std::lock_guard doneLock(doneMutex);
            finished.splice(finished.end(), done);
        }
        uint64_t count = 0;
        bool published = false;
        while (!finished.empty()) {
            RoutingCommand& command = finished.front();
            finish(command);
            published = published || command.type == CommandType::PublishRouting;
            finished.pop_front(); // frees what the command took out, before anything later is made
            ++count;
        }
        serveReceivers();
        publishOutputs();
        prepareDelayLines();
        if (published) {
            std::lock_guard callbackLock(callbackMutex);
            if (publishedCallback)
                publishedCallback();
        }

        lock.lock();
        reportedCount += count;
        if (count != 0)
            reported.notify_all();
    }
}

void RoutingCore::finish(RoutingCommand& command)
{
    switch (command.type) {
    case CommandType::SourceRemoved: std::cerr << "SOURCE_REMOVED: " << printableText(command.name) << std::endl; break;
    case CommandType::SourceAdded:
        if (command.slot != nullptr)
            knownSlots.push_back(command.slot);
        if (command.retiredReceiver && command.retiredAudio.p_data != nullptr)
            ndi().framesync_free_audio(command.retiredReceiver->frameSync, &command.retiredAudio);
        break;
    case CommandType::SourceChannelCount:
        if (command.reportCount && listener != nullptr)
            listener->sourceChannelCountChanged(command.name, command.count);
        break;
    case CommandType::AddSender:
        if (command.senderNode.empty() && command.output && !command.output->tryPublish())
            unpublished.push_back(command.output);
        break;
    case CommandType::PublishRouting:
        if (listener != nullptr && command.published)
            listener->routingPublished(command.published->mappings, command.published->videoSources);
        break;
    default: break;
    }
}

void RoutingCore::serveReceivers()
{
    const auto now = std::chrono::steady_clock::now();
    for (ReceiveSlot* slot : knownSlots) {
        if (slot->outgoingFull.load(std::memory_order_acquire)) {
            if (slot->outgoing && slot->outgoingAudio.p_data != nullptr)
                ndi().framesync_free_audio(slot->outgoing->frameSync, &slot->outgoingAudio);
            slot->outgoingAudio = NDIlib_audio_frame_v2_t{};
            slot->outgoing.reset();
            slot->outgoingFull.store(false, std::memory_order_release);
        }
        if (slot->incomingReady.load(std::memory_order_acquire) || !slot->wantsReceiver.load(std::memory_order_acquire))
            continue;
        const auto retry = retryReceiverAt.find(slot);
        if (retry != retryReceiverAt.end() && now < retry->second)
            continue;
        auto receiver =
            std::make_shared<SourceReceiver>(slot->sourceName, slot->wantedBandwidth.load(std::memory_order_relaxed));
        if (!receiver->valid()) {
            retryReceiverAt[slot] = now + kReceiverRetry;
            continue;
        }
        retryReceiverAt.erase(slot);
        slot->incoming = std::move(receiver);
        slot->incomingReady.store(true, std::memory_order_release);
    }
}

void RoutingCore::publishOutputs()
{
    // In the order they were added; one whose sender is gone meanwhile is dropped unpublished.
    std::erase_if(unpublished,
        [](const std::shared_ptr<SenderOutput>& output) { return output.use_count() == 1 || output->tryPublish(); });
}

void RoutingCore::prepareDelayLines()
{
    std::vector<std::shared_ptr<SenderOutput>> outputs;
    {
        std::lock_guard lock(modelMutex);
        outputs.reserve(model.outputs.size());
        for (const auto& [name, output] : model.outputs)
            outputs.push_back(output);
    }
    for (const auto& output : outputs)
        output->delayLine.prepare();
}

RoutingCore::Status RoutingCore::status()
{
    using namespace std::chrono;
    constexpr auto kRecent = seconds(5);
    const auto now = steady_clock::now();
    Status result;
    std::map<std::string, std::shared_ptr<SenderOutput>> outputs;
    {
        std::lock_guard lock(modelMutex);
        outputs = model.outputs;
        for (const auto& [name, mappings] : model.mappings)
            if (outputs.count(name) != 0)
                result.senders[name].channels = static_cast<uint32_t>(mappings.size());
        std::lock_guard seenLock(statusMutex);
        for (const auto& [name, entry] : model.sources) {
            SourceStatus& source = result.sources[name];
            source.online = entry.online;
            source.channelCount = entry.channelCount;
            source.sampleRate = entry.sampleRate;
            // What the source's counters did over the last seconds.
            source.dropouts = entry.slot->dropouts.load(std::memory_order_relaxed);
            auto& history = seenSources[name];
            history.push_back({now, source.dropouts});
            std::erase_if(history, [&](const Seen& seen) { return now - seen.at > kRecent; });
            source.recentDropouts = history.back().dropouts - history.front().dropouts;
            const int64_t last = entry.slot->lastCaptureNanos.load(std::memory_order_relaxed);
            source.receiving =
                last != 0 && duration_cast<nanoseconds>(now.time_since_epoch()).count() - last < 1'000'000'000;
            source.captureDropouts = entry.slot->captureDropouts.load(std::memory_order_relaxed);
        }
    }
    for (const auto& [name, output] : outputs) {
        SenderStatus& sender = result.senders[name];
        if (NDIlib_send_instance_t instance = output->instance())
            sender.connections = ndi().send_get_no_connections(instance, 0);
        sender.audioBlocksSent = output->audioBlocksSent.load(std::memory_order_relaxed);
        sender.videoFramesSent = output->videoFramesSent.load(std::memory_order_relaxed);
        const int64_t last = output->lastVideoSentNanos.load(std::memory_order_relaxed);
        sender.videoLive =
            last != 0 && duration_cast<nanoseconds>(now.time_since_epoch()).count() - last < 1'000'000'000;
    }

    const uint64_t count = blockCount.load(std::memory_order_acquire);
    const int samples = block.load(), sampleRate = rate.load();
    const uint64_t window = sampleRate > 0 && samples > 0 ? static_cast<uint64_t>(10.0 * sampleRate / samples) : 0;
    std::vector<float> loads;
    for (uint64_t i = count > window ? count - window : 0; i < count && loads.size() < kBlockTimes; ++i)
        loads.push_back(blockLoads[i % kBlockTimes].load(std::memory_order_relaxed));
    if (!loads.empty()) {
        std::sort(loads.begin(), loads.end());
        result.blocks.medianLoad = loads[loads.size() / 2];
        result.blocks.p99Load = loads[std::min(loads.size() - 1, loads.size() * 99 / 100)];
    }
    result.blocks.lateBlocks = lateBlocks.load(std::memory_order_relaxed);
    result.blocks.blocks = count;
    result.blocks.captureDropouts = ndiRx.captureDropouts.load(std::memory_order_relaxed);
    result.captureScheduling = ndiRx.captureScheduling();
    return result;
}

RoutingCore::Levels RoutingCore::levels()
{
    std::vector<std::pair<std::string, std::shared_ptr<ChannelLevels>>> ofSources, ofSenders;
    std::map<std::string, uint32_t> known;
    {
        std::lock_guard lock(modelMutex);
        for (const auto& [name, entry] : model.sources) {
            ofSources.emplace_back(name, entry.levels);
            known[name] = entry.channelCount;
        }
        for (const auto& [name, output] : model.outputs)
            ofSenders.emplace_back(name, std::shared_ptr<ChannelLevels>(output, &output->levels));
    }
    Levels result;
    for (auto& [name, channels] : ofSources) {
        ChannelLevelList& list = result.sources[name];
        channels->read(list);
        // As many channels as the source has, or as arrived while it is still being probed.
        const uint32_t count = known[name];
        if (count != kNoChannel)
            list.resize(std::min<size_t>(count, list.size()));
        else
            while (!list.empty() && !list.back())
                list.pop_back();
    }
    for (auto& [name, channels] : ofSenders)
        channels->read(result.senders[name]);
    return result;
}
