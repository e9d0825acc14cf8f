// What an Ember+ consumer sends, on arbitrary bytes: the S101 reader, then
// BER and Glow as the provider reads each message. The first byte picks the
// way in: even, the rest is a TCP stream (cut where the second byte says);
// odd, the rest is one Glow message, which must also come back whole through
// the provider's own framing.

#include "ember/GlowReader.h"
#include "ember/S101.h"

namespace {

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

void readGlow(std::span<const uint8_t> message)
{
    std::string why;
    const auto requests = GlowReader::requests(message, why);
    require(requests.has_value() || !why.empty());
    if (!requests)
        return;
    for (const GlowRequest& request : *requests) {
        require(request.path.size() <= 32);
        require(request.kind != GlowRequest::Kind::Connect || !request.connections.empty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const std::span<const uint8_t> rest(data + 2, size - 2);
    if ((data[0] & 1) == 0) {
        S101Reader reader(1 << 20);
        std::vector<S101Reader::Event> events;
        const size_t cut = std::min<size_t>(data[1], rest.size());
        auto broken = reader.read(rest.first(cut), events);
        if (!broken)
            broken = reader.read(rest.subspan(cut), events);
        for (const auto& event : events) {
            require(event.kind == S101Reader::Kind::Message || event.payload.empty());
            if (event.kind == S101Reader::Kind::Message)
                readGlow(event.payload);
        }
        return 0;
    }
    readGlow(rest);
    if (!rest.empty()) {
        S101Reader reader(1 << 20);
        std::vector<S101Reader::Event> events;
        require(!reader.read(S101::messageFrames(rest), events));
        require(events.size() == 1 && events[0].payload == std::vector<uint8_t>(rest.begin(), rest.end()));
    }
    return 0;
}
