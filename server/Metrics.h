#pragma once

// Threads: any (it only formats what it is given).

#include "engine/AudioController.h"

#include <QtCore/QByteArray>

// The router's health as Prometheus scrapes it from GET /metrics, in the text
// exposition format 0.0.4: the engine's load, blocks and clock, each source's
// and sender's state and counters, and who is connected. Names from the
// network are label values, escaped as the format asks and never anything
// more; the README lists every metric.
namespace Metrics {

inline constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

struct Clients {
    int pages = 0; // browser pages on the web channel
    int eventStreams = 0; // programs holding the API's event stream open
};

QByteArray exposition(const AudioController::Status& status, const Clients& clients);

} // namespace Metrics
