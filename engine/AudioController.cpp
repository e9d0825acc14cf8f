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

AudioController::AudioController(Listener* listener)
    : routing(listener, sourceFinder)
    , files(routing, listener)
{
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
    // Whatever file the user worked on, the automatic one gets the routing at exit.
    writeMappingFile(defaultMappingFilePath());
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
    setMappingFilePath(defaultMappingFilePath());

    // A file that cannot be loaded gives the routing of a first start; its bytes are kept when it is overwritten.
    const std::string path = mappingFilePath();
    if (!mappingFileExists() || !readMappingFile(path))
        addDefaultSenders();
    if (hasOutputDevice())
        addSender(kMonitor, 2);
    drainCommandsBeforeStart();
    routing.listenToFinder();

    // Written back in the current layout, and read again for the first blocks.
    writeMappingFile(path);
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

void AudioController::audioDeviceIOCallbackWithContext(const float* const*, int, float* const* outputs,
                                                       int numOutputs, int numSamples,
                                                       const juce::AudioIODeviceCallbackContext&)
{
    routing.processBlock(outputs, numOutputs, numSamples, ndiProcessingStarted);
}

void AudioController::startNdiProcessing()
{
    ndiProcessingStarted = true;
    files.startNdiProcessing();
}

void AudioController::addSender(const std::string& name, uint32_t channels)
{
    routing.addSender(name, channels);
}

void AudioController::removeSender(const std::string& name)
{
    routing.removeSender(name);
}

void AudioController::addAudioConnection(const std::string& source, uint32_t sourceChannel,
                                         const std::string& sender, uint32_t senderChannel)
{
    routing.addAudioConnection(source, sourceChannel, sender, senderChannel);
}

void AudioController::removeAudioConnection(const std::string&, uint32_t, const std::string& sender,
                                            uint32_t senderChannel)
{
    routing.removeAudioConnection(sender, senderChannel);
}

void AudioController::setVideoConnection(const std::string& source, const std::string& sender)
{
    routing.setVideoConnection(source, sender);
}

void AudioController::removeVideoConnection(const std::string& sender)
{
    routing.removeVideoConnection(sender);
    // The caller waits two blocks at most.
    routing.waitForCommands(std::chrono::milliseconds(25));
}

bool AudioController::setAVDelay(const std::string& sender, int32_t milliseconds)
{
    return routing.setAVDelay(sender, milliseconds);
}
