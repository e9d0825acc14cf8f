#pragma once

#include <QtCore/QJsonValue>
#include <QtCore/QString>

#include <cstdint>
#include <optional>

// Values from the page are not trusted: these say whether one can reach the
// router, and why not.
namespace PageInput {

// Most characters a sender name may have when created from the page.
inline constexpr int kMaxSenderNameLength = 64;
// Longest name of any kind accepted from the page (source names come from the network).
inline constexpr int kMaxNameLength = 1024;
// The delays the router can hold, in milliseconds either way.
inline constexpr int kMaxDelayMs = 5000;

// A whole number from `minimum` to `maximum`, or nothing (with `why` set).
std::optional<int64_t> wholeNumber(const QJsonValue& value, int64_t minimum, int64_t maximum, QString& why);

// A name of a source or sender the page refers to.
bool isAcceptableName(const QString& name, QString& why);

// A name for a new sender: also one the network can publish, and not the reserved "Monitor".
bool isAcceptableNewSenderName(const QString& name, QString& why);

} // namespace PageInput
