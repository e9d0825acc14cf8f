#include "ndi/NDISourceFinder.h"

#include "ndi/NdiLibrary.h"

#include <QtCore/QDebug>
#include <QtNetwork/QHostInfo>

#include <iostream>

std::atomic<bool> ndiActive{false};

NDISourceFinder::NDISourceFinder() : localMachineName(QHostInfo::localHostName().toUpper().toStdString())
{
    NDIlib_find_create_t settings;
    settings.show_local_sources = true;
    findInstance = ndi().find_create_v3(&settings, nullptr);
}

NDISourceFinder::~NDISourceFinder()
{
    if (findInstance != nullptr)
        ndi().find_destroy(findInstance);
}

bool NDISourceFinder::splitSourceName(const std::string& name, std::string& machine, std::string& stream)
{
    const auto open = name.find('(');
    // The last ")" closes the stream name: "HOST (Stage (L))" streams "Stage (L)".
    const auto close = name.rfind(')');
    if (open == std::string::npos || close == std::string::npos)
        return false;
    // A name that starts with "(" has no blank before it: the whole name is the machine part.
    const std::string machinePart = open == 0 ? name : name.substr(0, open - 1);
    machine = QString::fromUtf8(machinePart.data(), static_cast<qsizetype>(machinePart.size())).toUpper().toStdString();
    stream = close > open ? name.substr(open + 1, close - open - 1) : name.substr(open + 1);
    return true;
}

NDISourceFinder& NDISourceFinder::poll()
{
    if (!ndiActive)
        return *this;

    uint32_t count = 0;
    const NDIlib_source_v2_t* list =
        findInstance != nullptr ? ndi().find_get_current_sources_v2(findInstance, &count) : nullptr;

    std::set<std::string> ownSenders;
    if (listener != nullptr)
        ownSenders = listener->senderChannelMappings();

    std::set<std::string> found;
    for (uint32_t i = 0; list != nullptr && i < count; ++i) {
        const char* entry = list[i].p_ndi_name;
        if (entry == nullptr || *entry == '\0')
            continue;
        std::string name(entry);
        qDebug() << "NDI source found:" << QString::fromUtf8(name.c_str()); // quoted: a name from the network
        std::string machine, stream;
        if (!splitSourceName(name, machine, stream))
            continue;
        if (machine == localMachineName && ownSenders.count(stream) != 0)
            continue;
        found.insert(std::move(name));
    }

    if (found == sources)
        return *this;

    std::cerr << "set changed" << std::endl;
    {
        std::lock_guard lock(mutex);
        sources.swap(found);
        if (ndiActive && listener != nullptr)
            listener->sourcesChanged(*this);
    }
    return *this;
}
