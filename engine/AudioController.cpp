#include "engine/AudioController.h"

#include "ndi/NdiLibrary.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDebug>
#include <QtCore/QFile>
#include <QtCore/QStandardPaths>

#include <algorithm>
#include <iostream>
#include <thread>

namespace detail {
NdiSession::NdiSession()
{
    ndi().initialize();
}
NdiSession::~NdiSession()
{
    ndi().destroy();
}
} // namespace detail

AudioController::AudioController(Listener* controllerListener) : listener(controllerListener)
{
    ndiActive = true;
    setUpAudioClock();
    // Give discovery a moment before the window asks for sources.
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
    ndiActive = true;
    qDebug() << "NDI source finder started";
}

AudioController::~AudioController()
{
    delayRestoreTask.wait();
    // Whatever file the user worked on, the automatic one gets the routing at exit.
    writeMappingFile(defaultMappingFilePath());
    ndiActive = false;
    qInfo() << "NDI source finder stopped";

    {
        std::lock_guard lock(watchdogMutex);
        shuttingDown = true;
    }
    watchdogWake.notify_all();
    if (watchdog.joinable())
        watchdog.join();

    // The clock first, so no block runs while the rest is taken down.
    if (virtualDevice)
        virtualDevice->stop();
    else
        removeAudioCallback(this);
    closeAudioDevice();

    videoPassThrough.stop(); // no new pass; waits for a running one
    ndiRx.waitForCapture();
    if (ndiProcessingStarted) {
        ndiRx.processBlock(); // tears down the receivers nobody uses
        ndiTx.processBlock();
    }
    ndiRx.stop();
    for (const auto& slot : _ndiRecvDataList)
        if (slot.active)
            sourceFreshAudio[slot.sourceName] = false;

    // Pictures and blocks go back to their frame-syncs before those go, and
    // every frame-sync before its receiver; the library itself goes last.
    senders.clear();
    sourceFrames.clear();
    for (auto& slot : _ndiRecvDataList)
        slot.closeReceiver();
}

std::string AudioController::defaultMappingFilePath()
{
    QCoreApplication::setOrganizationName("Morvane");
    QCoreApplication::setApplicationName("Kestrix");
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return (folder + "/sendersChannelMappings.ploverc").toStdString();
}

void AudioController::setUpAudioClock()
{
    juce::AudioDeviceManager::AudioDeviceSetup preferred;
    preferred.outputDeviceName = {};
    preferred.inputDeviceName = {};
    preferred.sampleRate = kPreferredRate;
    preferred.bufferSize = kPreferredBlock;
    preferred.useDefaultInputChannels = true;
    preferred.useDefaultOutputChannels = true;

    juce::String error = initialise(0, 2, nullptr, true, {}, &preferred);
    // With no sound hardware JUCE reports no error and opens nothing: that is a failure too.
    if (error.isEmpty() && getCurrentAudioDevice() == nullptr)
        error = "no audio output device is available";

    if (error.isEmpty()) {
        outputDevice = true;
        addAudioCallback(this);
        const auto setup = getAudioDeviceSetup();
        qInfo().noquote() << "Added audio callback: out dev" << setup.outputDeviceName.toStdString().c_str()
                          << ",\n in dev" << setup.inputDeviceName.toStdString().c_str() << ",\n sample rate"
                          << setup.sampleRate << ",\n buffer size" << setup.bufferSize << ",\n in ch"
                          << static_cast<qint64>(setup.inputChannels.toInt64()) << ",\n out ch"
                          << static_cast<qint64>(setup.outputChannels.toInt64()) << "\n use default input"
                          << setup.useDefaultInputChannels << "\n use default output"
                          << setup.useDefaultOutputChannels;
        watchdog = std::thread([this] { watchOutputDevice(); });
        return;
    }
    qCritical().noquote() << "Cannot init audio" << error.toStdString().c_str();
    outputDevice = false;
    virtualDevice = std::make_unique<VirtualAudioDevice>();
    virtualClockRunning = true;
    virtualDevice->start(this);
}

void AudioController::watchOutputDevice()
{
    using namespace std::chrono;
    constexpr auto kSilenceBeforeHandOver = milliseconds(500);
    std::unique_lock lock(watchdogMutex);
    while (!shuttingDown) {
        watchdogWake.wait_for(lock, milliseconds(100));
        const auto last = nanoseconds(lastTickNanos.load());
        const auto now = steady_clock::now().time_since_epoch();
        if (!shuttingDown && last.count() != 0 && now - last > kSilenceBeforeHandOver) {
            lock.unlock();
            handOverToVirtualClock();
            return;
        }
    }
}

void AudioController::handOverToVirtualClock()
{
    qWarning() << "The audio output stopped; the software clock drives the NDI outputs from now on";
    removeAudioCallback(this);
    closeAudioDevice();
    outputDevice = false;
    virtualDevice = std::make_unique<VirtualAudioDevice>();
    virtualClockRunning = true;
    virtualDevice->start(this);
}

void AudioController::audioDeviceAboutToStart(juce::AudioIODevice* device)
{
    qDebug() << "audioDeviceAboutToStart";
    const int rate = static_cast<int>(device->getCurrentSampleRate());
    const int block = device->getCurrentBufferSizeSamples();
    if (started) {
        // A restart keeps the show: only the block format may change.
        if (rate != sampleRate || block != bufferSize) {
            sampleRate = rate;
            bufferSize = block;
            ndiRx.setFormat(rate, block);
            ndiTx.setFormat(rate, block);
            reformatSenders();
        }
        return;
    }
    started = true;
    sampleRate = rate;
    bufferSize = block;
    setMappingFilePath(defaultMappingFilePath());

    // A file that cannot be loaded gives the routing of a first start; its bytes are kept when it is overwritten.
    const std::string path = mappingFilePath();
    if (!mappingFileExists() || !readMappingFile(path))
        addDefaultSenders();
    if (outputDevice)
        addSender(kMonitor, 2);
    drainCommandsBeforeStart();

    ndiRx.setFormat(sampleRate, bufferSize);
    ndiTx.setFormat(sampleRate, bufferSize);
    sourceFinder.setListener(this);

    // Written back in the current layout, and read again for the first blocks.
    writeMappingFile(path);
    readMappingFile(path);
}

void AudioController::drainCommandsBeforeStart()
{
    // The clock is not ticking yet, so waiting out the pause after a load costs no block.
    const auto deadline = std::chrono::steady_clock::now() + kRemoveAllPause + std::chrono::seconds(2);
    for (;;) {
        processCommands();
        {
            std::lock_guard lock(commandMutex);
            if (commandQueue.empty() || std::chrono::steady_clock::now() > deadline)
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void AudioController::addDefaultSenders()
{
    addSender("Plover Sender 1", 4);
    addSender("Plover Sender 2", 2);
    addSender("Plover Sender 3", 6);
}

void AudioController::reformatSenders()
{
    std::lock_guard lock(commandMutex);
    for (auto& [name, sender] : senders) {
        const double delay = sender.delayLine->delaySeconds();
        SenderState fresh;
        if (!fresh.initialise(name, sender.channelCount(), sampleRate, bufferSize))
            continue;
        // The NDI instance and the delay line carry over; only the block changes size.
        std::swap(fresh.sendInstance, sender.sendInstance);
        fresh.delayLine = sender.delayLine;
        sender = std::move(fresh);
        sender.delayLine->setDelay(delay, sampleRate, bufferSize, static_cast<int>(sender.channelCount()));
    }
}

// ---------------------------------------------------------------------------
// Public operations (user-interface thread)

void AudioController::post(RoutingCommand command)
{
    std::lock_guard lock(commandMutex);
    commandQueue.push_back(std::move(command));
    ++postedCount;
}

void AudioController::addSender(const std::string& name, uint32_t channels)
{
    auto seed = std::make_unique<SenderSeed>();
    if (!seed->state.initialise(name, channels, sampleRate, bufferSize))
        return;
    seed->mappings.assign(channels, ChannelMapping{});
    RoutingCommand command;
    command.type = CommandType::AddSender;
    command.name = command.key = name;
    command.senderSeed = std::move(seed);
    post(std::move(command));
}

void AudioController::removeSender(const std::string& name)
{
    RoutingCommand command;
    command.type = CommandType::RemoveSender;
    command.name = command.key = name;
    post(std::move(command));
}

void AudioController::addAudioConnection(const std::string& source, uint32_t sourceChannel,
                                         const std::string& sender, uint32_t senderChannel)
{
    RoutingCommand command;
    command.type = CommandType::SetChannelMapping;
    command.sourceName = source;
    command.sourceChannel = sourceChannel;
    command.senderName = sender;
    command.senderChannel = senderChannel;
    post(std::move(command));
}

void AudioController::removeAudioConnection(const std::string&, uint32_t, const std::string& sender,
                                            uint32_t senderChannel)
{
    RoutingCommand command;
    command.type = CommandType::SetChannelMapping;
    command.senderName = sender;
    command.senderChannel = senderChannel;
    post(std::move(command));
}

void AudioController::setVideoConnection(const std::string& source, const std::string& sender)
{
    RoutingCommand command;
    command.type = CommandType::SetVideoSource;
    command.sourceName = source;
    command.senderName = sender;
    post(std::move(command));
}

void AudioController::removeVideoConnection(const std::string& sender)
{
    RoutingCommand command;
    command.type = CommandType::RemoveVideoSource;
    command.senderName = sender;
    post(std::move(command));
    // The pass may hold the sender for a frame period; the caller waits two blocks at most.
    waitForCommands(std::chrono::milliseconds(25));
}

bool AudioController::setAVDelay(const std::string& sender, int32_t milliseconds)
{
    std::shared_ptr<AVDelayLine> line;
    int channels = 0;
    {
        std::lock_guard lock(commandMutex);
        const auto it = senders.find(sender);
        if (it == senders.end())
            return false;
        line = it->second.delayLine;
        channels = static_cast<int>(it->second.channelCount());
    }
    return line->setDelay(milliseconds / 1000.0, sampleRate, bufferSize, channels);
}

RoutingSnapshot AudioController::routingSnapshot()
{
    std::lock_guard lock(commandMutex);
    RoutingSnapshot snapshot;
    snapshot.mappings = senderChannelMappingsMap;
    snapshot.videoSources = senderVideoSources;
    snapshot.useCounts = sourceUseCounts;
    for (const auto& [name, sender] : senders)
        snapshot.delaySeconds[name] = sender.delayLine->delaySeconds();
    return snapshot;
}

bool AudioController::waitForCommands(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(commandMutex);
    const uint64_t target = postedCount;
    return commandsExecuted.wait_for(lock, timeout, [&] { return reportedCount >= target; });
}

// ---------------------------------------------------------------------------
// The channel-mapping file

std::string AudioController::mappingFilePath()
{
    std::lock_guard lock(commandMutex);
    return mappingPath;
}

void AudioController::setMappingFilePath(const std::string& path)
{
    std::lock_guard lock(commandMutex);
    mappingPath = path;
}

bool AudioController::mappingFileExists() const
{
    QFile file(QString::fromStdString(defaultMappingFilePath()));
    return file.open(QIODevice::ReadOnly);
}

StoredRouting AudioController::storedRouting()
{
    std::lock_guard lock(commandMutex);
    StoredRouting routing;
    for (const auto& [name, mappings] : senderChannelMappingsMap) {
        const auto video = senderVideoSources.find(name);
        routing.senders.push_back({name, mappings, video != senderVideoSources.end() ? video->second : ""});
    }
    for (const auto& [name, sender] : senders) {
        int32_t ms = MappingFile::toMilliseconds(sender.delayLine->delaySeconds());
        // A stored delay not applied yet is still the sender's delay.
        if (pendingDelays)
            if (const auto waiting = pendingDelays->find(name); waiting != pendingDelays->end())
                ms = waiting->second;
        routing.delays.emplace_back(name, ms);
    }
    return routing;
}

bool AudioController::writeMappingFile(const std::string& path)
{
    // A load still under way (its senders wait out the pause after clearing) is
    // part of the routing: never write the cleared state in between.
    waitForCommands(kRemoveAllPause + std::chrono::seconds(1));
    const std::string text = MappingFile::render(storedRouting());
    bool unreadable = false;
    {
        std::lock_guard lock(commandMutex);
        unreadable = unreadableFiles.erase(path) != 0;
    }
    if (unreadable) {
        // Never overwrite unseen a file that failed to load.
        const std::string kept = MappingFile::keepUnreadableFile(path);
        if (!kept.empty())
            qWarning().noquote() << "The channel mappings that could not be loaded were kept in"
                                 << QString::fromStdString(kept);
    }
    std::string error;
    if (!MappingFile::writeFile(path, text, error)) {
        qCritical().noquote() << "Cannot save channel mappings to" << QString::fromStdString(path) << "-"
                              << QString::fromStdString(error);
        return false;
    }
    return true;
}

bool AudioController::readMappingFile(const std::string& path)
{
    std::string text, error;
    std::optional<StoredRouting> routing;
    if (MappingFile::readFile(path, text, error))
        routing = MappingFile::parse(text, error);
    if (!routing) {
        qCritical().noquote() << "Cannot load channel mappings from" << QString::fromStdString(path) << "-"
                              << QString::fromStdString(error);
        std::lock_guard lock(commandMutex);
        unreadableFiles.insert(path);
        return false;
    }

    std::vector<RoutingCommand> batch;
    RoutingCommand clear;
    clear.type = CommandType::RemoveAllSenders;
    batch.push_back(std::move(clear));
    for (StoredSender& stored : routing->senders) {
        auto seed = std::make_unique<SenderSeed>();
        if (!seed->state.initialise(stored.name, static_cast<uint32_t>(stored.mappings.size()), sampleRate, bufferSize))
            continue;
        seed->mappings = std::move(stored.mappings);
        seed->videoSource = std::move(stored.videoSource);
        RoutingCommand add;
        add.type = CommandType::AddSender;
        add.name = add.key = stored.name;
        add.senderSeed = std::move(seed);
        batch.push_back(std::move(add));
    }
    RoutingCommand publish;
    publish.type = CommandType::PublishRouting;
    batch.push_back(std::move(publish));

    std::map<std::string, int32_t> delays;
    for (const auto& [name, ms] : routing->delays)
        if (ms != 0)
            delays[name] = ms;
    {
        // One hold: the audio thread sees none or all of the batch.
        std::lock_guard lock(commandMutex);
        for (auto& command : batch)
            commandQueue.push_back(std::move(command));
        postedCount += batch.size();
        // The file's delays replace any still waiting from an earlier load.
        pendingDelays = delays.empty() ? std::nullopt : std::optional(std::move(delays));
        pendingDelaysPublished = false;
        unreadableFiles.erase(path);
    }
    qInfo().noquote() << "Loaded channel mappings from" << QString::fromStdString(path);
    return true;
}

void AudioController::startNdiProcessing()
{
    ndiProcessingStarted = true;
    std::lock_guard lock(commandMutex);
    if (pendingDelays && pendingDelaysPublished)
        delayRestoreTask.tryStart();
}

void AudioController::restoreDelays()
{
    for (;;) {
        std::map<std::string, int32_t> table;
        {
            std::lock_guard lock(commandMutex);
            if (!pendingDelays || !pendingDelaysPublished || !ndiProcessingStarted)
                return;
            table = std::move(*pendingDelays);
            pendingDelays.reset();
        }
        for (const auto& [name, ms] : table)
            if (setAVDelay(name, ms) && listener != nullptr)
                listener->senderDelayChanged(name, ms);
    }
}

// ---------------------------------------------------------------------------
// Listener sides

bool AudioController::isVideoSourceInUse(const std::string& source)
{
    for (const auto& [sender, name] : senderVideoSources)
        if (name == source)
            return true;
    return false;
}

void AudioController::sourceChannelCountChanged(const std::string& source, uint32_t count)
{
    if (listener != nullptr)
        listener->sourceChannelCountChanged(source, count);
}

void AudioController::sourceChannelCountDetected(const std::string& source, uint32_t count)
{
    RoutingCommand command;
    command.type = CommandType::SourceChannelCount;
    command.name = source;
    command.count = count;
    post(std::move(command));
}

SenderChannelMappings AudioController::senderChannelMappings()
{
    std::lock_guard lock(commandMutex);
    return senderChannelMappingsMap;
}

void AudioController::sourcesChanged(NDISourceFinder& finder)
{
    const std::set<std::string>& current = finder.sources;
    std::vector<std::string> removed;
    std::vector<std::pair<std::string, uint32_t>> added;
    {
        std::lock_guard lock(commandMutex);
        for (auto& [name, ref] : sourceSlots) {
            if (current.count(name) != 0)
                continue;
            removed.push_back(name);
            RoutingCommand command;
            command.type = CommandType::SourceRemoved;
            command.name = name;
            commandQueue.push_back(std::move(command));
            ++postedCount;
            ref.online = false;
        }
        for (const std::string& name : current) {
            const auto known = sourceSlots.find(name);
            if (known != sourceSlots.end() && known->second.online)
                continue;
            RoutingCommand command;
            command.type = CommandType::SourceAdded;
            command.name = name;
            command.receiveSeed = ndiRx.makeReceiveSeed(name);
            uint32_t count = kNoChannel;
            if (known != sourceSlots.end()) {
                qDebug() << "idx: " << known->second.index;
                qDebug() << "_ndiRecvDataList size: " << _ndiRecvDataList.size();
                // A source that comes back keeps its slot; it is announced with the count the slot knows.
                command.receiveSeed->returning = true;
                if (known->second.index < _ndiRecvDataList.size())
                    count = _ndiRecvDataList[known->second.index].channelCount;
            }
            if (count != 0)
                added.emplace_back(name, count);
            commandQueue.push_back(std::move(command));
            ++postedCount;
        }
    }
    ndiRx.sourceSetChanged = true;
    if (listener == nullptr)
        return;
    for (const auto& name : removed)
        listener->sourceRemoved(name);
    for (const auto& [name, count] : added)
        listener->sourceAdded(name, count);
}

// ---------------------------------------------------------------------------
// The audio thread

void AudioController::audioDeviceIOCallbackWithContext(const float* const*, int, float* const* outputs,
                                                       int numOutputs, int numSamples,
                                                       const juce::AudioIODeviceCallbackContext&)
{
    lastTickNanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    if (ndiProcessingStarted) {
        ndiRx.processBlock();
        ndiTx.processBlock();
        videoPassThrough.processBlock();
    } else {
        ndiRx.waitForCapture(); // the fresh flags below are the capture's too
    }
    playMonitor(outputs, numOutputs, numSamples);
    for (const auto& slot : _ndiRecvDataList)
        if (slot.active)
            if (const auto flag = sourceFreshAudio.find(slot.sourceName); flag != sourceFreshAudio.end())
                flag->second = false;
    ndiRx.startCapture();
    processCommands();
}

void AudioController::playMonitor(float* const* outputs, int numOutputs, int numSamples)
{
    if (!outputDevice || outputs == nullptr)
        return;
    const auto monitor = senders.find(kMonitor);
    if (monitor == senders.end())
        return;
    const NDIlib_audio_frame_v2_t& frame = monitor->second.audioFrame;
    for (int c = 0; c < numOutputs && c < frame.no_channels; ++c) {
        if (outputs[c] == nullptr)
            continue;
        std::fill_n(outputs[c], numSamples, 0.0f);
        if (frame.p_data != nullptr)
            std::copy_n(frame.p_data + static_cast<size_t>(c) * frame.no_samples,
                        std::min(numSamples, frame.no_samples), outputs[c]);
    }
}

void AudioController::processCommands()
{
    std::vector<Notification> notifications;
    uint64_t executed = 0;
    {
        std::lock_guard lock(commandMutex);
        if (!ndiActive || commandQueue.empty())
            return;
        // Keep the pause after clearing the senders without stopping the clock.
        if (std::chrono::steady_clock::now() < holdCommandsUntil)
            return;
        // The capture reads the maps the commands change.
        ndiRx.waitForCapture();
        const size_t n = commandQueue.size();
        for (size_t i = 0; i < n; ++i) {
            if (!execute(commandQueue.front(), notifications))
                break; // stays first in line for the next block
            commandQueue.pop_front();
            ++executedCount;
            if (std::chrono::steady_clock::now() < holdCommandsUntil)
                break;
        }
        recountUseCounts();
        executed = executedCount;
    }
    for (const auto& n : notifications) {
        if (listener == nullptr)
            break;
        if (n.kind == Notification::Kind::routingPublished)
            listener->routingPublished(n.mappings, n.video);
        else
            listener->sourceChannelCountChanged(n.name, n.count);
    }
    // Waiters learn of the changes once they are reported too.
    {
        std::lock_guard lock(commandMutex);
        reportedCount = executed;
    }
    commandsExecuted.notify_all();
}

void AudioController::recountUseCounts()
{
    // The number of sender channels connected to each source, whatever order the changes came in.
    for (auto& [name, count] : sourceUseCounts)
        count = 0;
    for (const auto& [sender, channels] : senderChannelMappingsMap)
        for (const auto& m : channels)
            if (m.sourceChannel != kNoChannel)
                if (const auto count = sourceUseCounts.find(m.sourceName); count != sourceUseCounts.end())
                    ++count->second;
}

bool AudioController::executeSourceAdded(RoutingCommand& command)
{
    const std::string& name = command.name;
    const auto known = sourceSlots.find(name);
    if (known == sourceSlots.end()) {
        const uint64_t index = _ndiRecvDataList.size();
        _ndiRecvDataList.push_back(std::move(command.receiveSeed->slot));
        sourceFrames[name] = std::move(command.receiveSeed->frames);
        sourceFreshAudio[name] = command.receiveSeed->freshAudio;
        sourceUseCounts.emplace(name, 0);
        sourceSlots[name] = {true, index};
        return true;
    }
    if (known->second.index >= _ndiRecvDataList.size())
        return true;
    ReceiveSlot& slot = _ndiRecvDataList[known->second.index];
    if (slot.receiver != nullptr || slot.frameSync != nullptr) {
        // Start the returning source afresh: its old receiver goes, for good.
        if (videoPassThrough.running())
            return false;
        if (const auto holder = sourceFrames.find(name); holder != sourceFrames.end()) {
            holder->second->releaseFrames();
            holder->second->frameSync = nullptr;
        }
        videoPassThrough.releasePicturesOf(slot.frameSync);
        slot.closeReceiver();
    }
    slot.active = true;
    if (const auto holder = sourceFrames.find(name); holder != sourceFrames.end())
        holder->second->active = true;
    known->second.online = true;
    return true;
}

bool AudioController::execute(RoutingCommand& command, std::vector<Notification>& notifications)
{
    switch (command.type) {
    case CommandType::SourceRemoved: {
        std::cerr << "SOURCE_REMOVED: " << command.name << std::endl;
        if (const auto holder = sourceFrames.find(command.name); holder != sourceFrames.end())
            holder->second->active = false;
        const auto ref = sourceSlots.find(command.name);
        if (ref == sourceSlots.end() || ref->second.index >= _ndiRecvDataList.size())
            return true;
        ReceiveSlot& slot = _ndiRecvDataList[ref->second.index];
        slot.channelCount = kNoChannel;
        if (const auto holder = sourceFrames.find(slot.sourceName); holder != sourceFrames.end())
            holder->second->audioFrame.no_channels = 0;
        slot.active = false;
        return true;
    }
    case CommandType::SourceAdded:
        return executeSourceAdded(command);
    case CommandType::RemoveSender:
        if (!videoPassThrough.tryKeepOff(command.key))
            return false;
        senderChannelMappingsMap.erase(command.key);
        senderVideoSources.erase(command.key);
        senders.erase(command.key); // its NDI instance goes with it
        return true;
    case CommandType::AddSender: {
        if (senders.count(command.key) != 0)
            return true; // the name is taken: the seed and its NDI instance are released
        SenderSeed& seed = *command.senderSeed;
        seed.state.createSendInstance();
        senderChannelMappingsMap.emplace(command.key, std::move(seed.mappings));
        senderVideoSources.emplace(command.key, std::move(seed.videoSource));
        senders.emplace(command.key, std::move(seed.state));
        return true;
    }
    case CommandType::SourceChannelCount:
        for (auto& slot : _ndiRecvDataList) {
            if (slot.sourceName != command.name)
                continue;
            // Only a change is news: a gone source is re-reported at every probe.
            if (slot.channelCount != command.count) {
                slot.channelCount = command.count;
                notifications.push_back({Notification::Kind::sourceChannelCountChanged, command.name, command.count, {}, {}});
            }
            break;
        }
        return true;
    case CommandType::SetChannelMapping: {
        const auto mappings = senderChannelMappingsMap.find(command.senderName);
        if (mappings != senderChannelMappingsMap.end() && command.senderChannel < mappings->second.size())
            mappings->second[command.senderChannel] =
                command.sourceChannel == kNoChannel ? ChannelMapping{} : ChannelMapping{command.sourceChannel, command.sourceName};
        return true;
    }
    case CommandType::SetVideoSource:
        if (command.senderName == kMonitor || command.sourceName.empty() || senders.count(command.senderName) == 0)
            return true;
        if (!videoPassThrough.tryKeepOff(command.senderName))
            return false;
        senderVideoSources[command.senderName] = command.sourceName;
        return true;
    case CommandType::RemoveVideoSource:
        if (!videoPassThrough.tryKeepOff(command.senderName))
            return false;
        senderVideoSources.erase(command.senderName);
        return true;
    case CommandType::RemoveAllSenders:
        for (const auto& [name, sender] : senders)
            if (!videoPassThrough.tryKeepOff(name))
                return false;
        senderChannelMappingsMap.clear();
        senderVideoSources.clear();
        senders.clear();
        holdCommandsUntil = std::chrono::steady_clock::now() + kRemoveAllPause;
        return true;
    case CommandType::PublishRouting:
        notifications.push_back(
            {Notification::Kind::routingPublished, {}, 0, senderChannelMappingsMap, senderVideoSources});
        pendingDelaysPublished = true;
        if (ndiProcessingStarted && pendingDelays)
            delayRestoreTask.tryStart(); // never waits: the delays are built on the task's thread
        return true;
    }
    return true;
}
