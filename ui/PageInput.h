#pragma once

// Threads: pure functions; any thread (the bridge calls them on the user-interface thread).

#include "engine/RoutingRules.h"

#include <QtCore/QJsonValue>
#include <QtCore/QString>

#include <cstdint>
#include <optional>
#include <string>

// Values from the page are not trusted: these turn them into what the routing
// rules judge (UTF-8 names, numbers) and hold them to a rule. Each returns
// nothing, with the reason in `why`, when the value is refused.
namespace PageInput {

using NameRule = RoutingRules::Verdict (*)(std::string_view);
using NumberRule = RoutingRules::Verdict (*)(double);

// A name as UTF-8; a text with a lone surrogate is refused rather than changed on the way.
std::optional<std::string> name(const QString& text, NameRule rule, std::string& why);
// The number a value stands for: a JSON number, or a decimal text ("4",
// "-120", "2.0", blanks around it) as the web channel converted text for a
// number; nothing for anything else.
std::optional<double> numberOf(const QJsonValue& value);
// A number (as numberOf reads it) the rule accepts, so a whole one.
std::optional<int64_t> number(const QJsonValue& value, NumberRule rule, std::string& why);

} // namespace PageInput
