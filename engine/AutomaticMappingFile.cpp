#include "engine/AutomaticMappingFile.h"

AutomaticMappingFile::AutomaticMappingFile(MappingFileStore& store, std::string path)
    : files(store), filePath(std::move(path)), thread([this] { run(); })
{
}

AutomaticMappingFile::~AutomaticMappingFile()
{
    stop();
}

void AutomaticMappingFile::routingChanged()
{
    {
        std::lock_guard lock(mutex);
        changed = true;
    }
    wake.notify_one();
}

Outcome AutomaticMappingFile::writeNow()
{
    {
        // Cleared before the routing is taken: a change from here on is written by the next write.
        std::lock_guard lock(mutex);
        changed = false;
        keeping = true;
        lastWrite = std::chrono::steady_clock::now();
    }
    const Outcome written = files.write(filePath);
    if (!written)
        routingChanged(); // tried again a second later
    return written;
}

void AutomaticMappingFile::stop()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    if (thread.joinable())
        thread.join();
}

void AutomaticMappingFile::run()
{
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || (keeping && changed); });
        // A burst is gathered into one write a second, counted from when the last one began.
        while (!stopping && std::chrono::steady_clock::now() < lastWrite + kInterval)
            wake.wait_until(lock, lastWrite + kInterval);
        if (stopping)
            return;
        changed = false;
        lastWrite = std::chrono::steady_clock::now();
        lock.unlock();
        const bool written = static_cast<bool>(files.write(filePath));
        lock.lock();
        changed = changed || !written;
    }
}
