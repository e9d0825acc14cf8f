#include "engine/AudioController.h"

#include "ndi/NdiLibrary.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDebug>
#include <QtCore/QStandardPaths>

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

AudioController::AudioController(Listener* listener, std::string automaticMappingFile)
    : routing(listener, sourceFinder), files(routing, listener), automaticFile(std::move(automaticMappingFile))
{
    routing.onRoutingChanged([this] { automatic.routingChanged(); });
    ndiActive = true;
    clock.start();
    // Give discovery a moment before the window asks for sources.
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
    ndiActive = true;
    qDebug() << "NDI source finder started";
}

AudioController::~AudioController()
{
    // No delay is restored from here on: the routing it would change is going.
    files.stop();
    routing.onRoutingChanged(nullptr);
    automatic.stop();
    // Whatever file the user worked on, the automatic one gets the routing at exit.
    writeMappingFile(automaticFile);
    ndiActive = false;
    qInfo() << "NDI source finder stopped";
    // The clock first, so no block runs while the rest is taken down; the
    // routing then joins its tasks and frees every NDI object before the library goes.
    clock.stop();
}

std::string AudioController::defaultMappingFilePath()
{
    QCoreApplication::setOrganizationName("Morvane");
    QCoreApplication::setApplicationName("Kestrix");
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return (folder + "/" + MappingFile::kFileName).toStdString();
}

void AudioController::audioDeviceAboutToStart(juce::AudioIODevice* device)
{
    qDebug() << "audioDeviceAboutToStart";
    const int rate = static_cast<int>(device->getCurrentSampleRate());
    const int block = device->getCurrentBufferSizeSamples();
    routing.setFormat(rate, block);
    if (started)
        return; // a restart keeps the show: only the block format may change
    started = true;
    setMappingFilePath(automaticFile);

    // A file that is there but cannot be loaded, not even opened, gives the
    // routing of a first start; it is replaced only once its bytes were kept.
    const std::string path = mappingFilePath();
    if (!MappingFile::isPresent(path) || !readMappingFile(path))
        addDefaultSenders();
    if (hasOutputDevice())
        routing.addSender(kMonitor, 2);
    drainCommandsBeforeStart();
    routing.listenToFinder();

    // Written back in the current layout, and read again for the first blocks;
    // from then on it is written again after every change.
    automatic.writeNow();
    readMappingFile(path);
}

void AudioController::drainCommandsBeforeStart()
{
    // The clock is not ticking yet, so waiting out the pause after a load costs no block.
    const auto deadline = std::chrono::steady_clock::now() + kRemoveAllPause + std::chrono::seconds(2);
    while (!routing.waitForCommands(std::chrono::milliseconds(10)) && std::chrono::steady_clock::now() < deadline)
        routing.processCommands();
}

void AudioController::addDefaultSenders()
{
    addSender("Plover Sender 1", 4);
    addSender("Plover Sender 2", 2);
    addSender("Plover Sender 3", 6);
}

void AudioController::audioDeviceIOCallbackWithContext(const float* const*, int, float* const* outputs, int numOutputs,
    int numSamples, const juce::AudioIODeviceCallbackContext&)
{
    routing.processBlock(outputs, numOutputs, numSamples, ndiProcessingStarted);
}

void AudioController::startNdiProcessing()
{
    ndiProcessingStarted = true;
    files.startNdiProcessing();
}

// The rules' bound is the delay line's.
static_assert(RoutingRules::kMaxDelayMs == static_cast<int32_t>(AVDelayLine::kMaxSeconds * 1000));

namespace {

std::string quoted(const std::string& name)
{
    return "\"" + name + "\"";
}

} // namespace

Outcome AudioController::addSender(const std::string& name, uint32_t channels)
{
    if (auto refused = RoutingRules::checkSenderName(name))
        return Outcome::refused(*refused);
    if (auto refused = RoutingRules::checkChannelCount(channels))
        return Outcome::refused(*refused);
    if (routing.routingSnapshot().mappings.count(name) != 0)
        return Outcome::refused("a sender named " + quoted(name) + " exists already");
    routing.addSender(name, channels);
    return {};
}

void AudioController::removeSender(const std::string& name)
{
    files.removeSender(name);
}

Outcome AudioController::addAudioConnection(
    const std::string& source, uint32_t sourceChannel, const std::string& sender, uint32_t senderChannel)
{
    if (auto refused = RoutingRules::checkSourceName(source))
        return Outcome::refused(*refused);
    if (auto refused = RoutingRules::checkSourceChannel(sourceChannel))
        return Outcome::refused(*refused);
    if (auto refused = RoutingRules::checkStoredName(sender))
        return Outcome::refused(*refused);
    if (auto refused = RoutingRules::checkSenderChannel(senderChannel))
        return Outcome::refused(*refused);
    const RoutingSnapshot snapshot = routing.routingSnapshot();
    const auto mappings = snapshot.mappings.find(sender);
    if (mappings == snapshot.mappings.end())
        return Outcome::refused("there is no sender " + quoted(sender));
    if (senderChannel >= mappings->second.size())
        return Outcome::refused(quoted(sender) + " has " + std::to_string(mappings->second.size()) + " channels");
    routing.addAudioConnection(source, sourceChannel, sender, senderChannel);
    return {};
}

void AudioController::removeAudioConnection(
    const std::string&, uint32_t, const std::string& sender, uint32_t senderChannel)
{
    routing.removeAudioConnection(sender, senderChannel);
}

Outcome AudioController::setVideoConnection(const std::string& source, const std::string& sender)
{
    if (auto refused = RoutingRules::checkSourceName(source))
        return Outcome::refused(*refused);
    if (auto refused = RoutingRules::checkStoredName(sender))
        return Outcome::refused(*refused);
    if (sender == kMonitor)
        return Outcome::refused(quoted(sender) + " plays on the sound output and carries no pictures");
    if (routing.routingSnapshot().mappings.count(sender) == 0)
        return Outcome::refused("there is no sender " + quoted(sender));
    routing.setVideoConnection(source, sender);
    return {};
}

void AudioController::removeVideoConnection(const std::string& sender)
{
    routing.removeVideoConnection(sender);
    // The caller waits two blocks at most.
    routing.waitForCommands(std::chrono::milliseconds(25));
}

Outcome AudioController::setAVDelay(const std::string& sender, int32_t milliseconds)
{
    if (auto refused = RoutingRules::checkStoredName(sender))
        return Outcome::refused(*refused);
    if (auto refused = RoutingRules::checkDelay(milliseconds))
        return Outcome::refused(*refused);
    if (files.setDelay(sender, milliseconds))
        return {};
    if (routing.routingSnapshot().mappings.count(sender) == 0)
        return Outcome::refused("there is no sender " + quoted(sender));
    return Outcome::refused(
        "the delay line of " + quoted(sender) + " cannot hold " + std::to_string(milliseconds) + " ms on its channels");
}

Outcome AudioController::previewSource(const std::string& source)
{
    if (!source.empty())
        if (auto refused = RoutingRules::checkSourceName(source))
            return Outcome::refused(*refused);
    routing.previewSource(source);
    return {};
}

AudioController::Status AudioController::status()
{
    Status result;
    result.runtime = ndiRuntimeName();
    result.runtimeVersion = ndiRuntimeVersion();
    result.hardwareClock = clock.hasOutputDevice();
    result.outputDevice = clock.outputName();
    result.clockStandsIn = !result.outputDevice.empty() && clock.runsOnVirtualClock();
    result.mappingFile = automaticFile;
    result.mappingFileWriteError = automatic.writeFailure();
    result.clockScheduling = clock.scheduling();
    result.softwareClock = clock.softwareClockTimings();
    result.routing = routing.status();
    return result;
}

std::map<std::string, int32_t> AudioController::delaysMilliseconds()
{
    std::map<std::string, int32_t> delays;
    for (const auto& [name, seconds] : routing.routingSnapshot().delaySeconds)
        delays[name] = MappingFile::toMilliseconds(seconds);
    return delays;
}
