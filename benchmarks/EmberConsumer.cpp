#include "benchmarks/EmberConsumer.h"

#include "ember/BerTags.h"
#include "ember/BerWriter.h"
#include "tests/support/HttpClient.h"

#include <poll.h>

namespace {

using BerTags::application;
using BerTags::context;

// Root > RootElementCollection > [0] > a qualified element at `path`, whose other fields `inside` writes.
template <typename Fields> std::vector<uint8_t> qualified(uint8_t tag, const GlowPath& path, Fields inside)
{
    BerWriter ber;
    for (uint8_t container : {application(0), application(11), context(0), tag})
        ber.begin(container);
    ber.begin(context(0));
    ber.relativeOid(path);
    ber.end();
    inside(ber);
    for (int i = 0; i < 4; ++i)
        ber.end();
    return ber.take();
}

} // namespace

EmberConsumer::EmberConsumer(int port)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
    }
    const int one = 1;
    if (fd >= 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

EmberConsumer::~EmberConsumer()
{
    if (fd >= 0)
        ::close(fd);
}

bool EmberConsumer::send(const std::vector<uint8_t>& glow)
{
    const S101::Bytes frames = S101::messageFrames(glow);
    size_t sent = 0;
    while (fd >= 0 && sent < frames.size()) {
        const ssize_t n = ::send(fd, frames.data() + sent, frames.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return fd >= 0;
}

std::optional<std::vector<GlowRequest>> EmberConsumer::next(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd >= 0) {
        while (!pending.empty()) {
            const S101Reader::Event event = std::move(pending.front());
            pending.erase(pending.begin());
            std::string why;
            if (event.kind == S101Reader::Kind::Message)
                if (auto requests = GlowReader::requests(event.payload, why))
                    return requests;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0)
            continue;
        uint8_t buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0 || reader.read({buffer, static_cast<size_t>(n)}, pending)) {
            ::close(fd);
            fd = -1;
        }
    }
    return std::nullopt;
}

std::vector<uint8_t> EmberConsumer::getDirectory(const GlowPath& path)
{
    return qualified(application(10), path, [](BerWriter& ber) {
        for (uint8_t container : {context(2), application(4), context(0), application(2), context(0)})
            ber.begin(container);
        ber.integer(kGlowCommandGetDirectory);
        for (int i = 0; i < 5; ++i)
            ber.end();
    });
}

std::vector<uint8_t> EmberConsumer::connect(const GlowPath& matrix, int64_t target, uint32_t source)
{
    return qualified(application(17), matrix, [&](BerWriter& ber) {
        for (uint8_t container : {context(5), BerTags::kSequence, context(0), application(16)})
            ber.begin(container);
        ber.begin(context(0));
        ber.integer(target);
        ber.end();
        ber.begin(context(1));
        const uint32_t sources[] = {source};
        ber.relativeOid(sources);
        ber.end();
        ber.begin(context(2));
        ber.integer(static_cast<int64_t>(GlowOperation::Connect));
        ber.end();
        for (int i = 0; i < 4; ++i)
            ber.end();
    });
}
