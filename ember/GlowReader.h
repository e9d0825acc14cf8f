#pragma once

// Threads: pure function; any thread.

#include "ember/GlowTypes.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

// What a consumer asks of the provider in one Glow message.
struct GlowRequest {
    enum class Kind { GetDirectory, Subscribe, Unsubscribe, Invoke, SetValue, Connect };
    Kind kind = Kind::GetDirectory;
    GlowPath path; // of the element it concerns; empty: the root
    GlowValue value; // SetValue
    std::vector<GlowConnection> connections; // Connect
};

namespace GlowReader {

// The requests in one message from a consumer, in the order it wrote them.
// Consumers send the whole cached contents of an element with a command, so
// an element whose children hold a command is taken for that command alone;
// otherwise a parameter's value is a request to set it and a matrix's
// connections a request to connect. Nothing, with the reason in `why`, when
// the message is not BER or not Glow; what is merely unknown is skipped.
std::optional<std::vector<GlowRequest>> requests(std::span<const uint8_t> message, std::string& why);

} // namespace GlowReader
