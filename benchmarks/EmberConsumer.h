#pragma once

// Threads: one thread per consumer.

#include "ember/GlowReader.h"
#include "ember/S101.h"

#include <chrono>
#include <optional>
#include <vector>

// A blocking Ember+ consumer on one connection to 127.0.0.1, for measuring
// the provider as a control system meets it. What the provider sends is read
// back with the provider's own Glow reader: a matrix report reads as a
// connection request at the matrix's path, a directory of parameters as
// values set at their paths.
class EmberConsumer {
public:
    explicit EmberConsumer(int port);
    ~EmberConsumer();
    EmberConsumer(const EmberConsumer&) = delete;
    EmberConsumer& operator=(const EmberConsumer&) = delete;

    bool isConnected() const { return fd >= 0; }
    bool send(const std::vector<uint8_t>& glow);
    // The next message, as requests; nothing after `timeout` or when the connection is gone.
    std::optional<std::vector<GlowRequest>> next(std::chrono::milliseconds timeout);

    // The messages a consumer sends.
    static std::vector<uint8_t> getDirectory(const GlowPath& path);
    static std::vector<uint8_t> connect(const GlowPath& matrix, int64_t target, uint32_t source);

private:
    int fd = -1;
    S101Reader reader{16 * 1024 * 1024};
    std::vector<S101Reader::Event> pending;
};
