// The checks of what the page sends (ui/PageInput over engine/RoutingRules)
// on arbitrary values. The first byte picks the rule (its low three bits) and,
// for names, whether the rest is UTF-8 bytes or UTF-16 code units (bit 7);
// for numbers the rest is the JSON text of the number. Qt's own UTF-8 codec
// is the second opinion on what is valid UTF-8 and how many characters a name has.

#include "ui/PageInput.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>

#include <cmath>

namespace {

struct NameRule {
    PageInput::NameRule check;
    size_t maxCharacters;
};
struct NumberRule {
    PageInput::NumberRule check;
    double minimum, maximum;
};

const NameRule kNameRules[] = {
    {RoutingRules::checkSourceName, RoutingRules::kMaxNameLength},
    {RoutingRules::checkSenderName, RoutingRules::kMaxSenderNameLength},
    {RoutingRules::checkNewSenderName, RoutingRules::kMaxSenderNameLength},
};
const NumberRule kNumberRules[] = {
    {RoutingRules::checkChannelCount, 0, RoutingRules::kMaxSenderChannels},
    {RoutingRules::checkSenderChannel, 0, RoutingRules::kMaxSenderChannels - 1},
    {RoutingRules::checkSourceChannel, 0, RoutingRules::kMaxSourceChannel},
    {RoutingRules::checkStoredSourceChannel, 0, RoutingRules::kMaxSourceChannel + 1.0},
    {RoutingRules::checkDelay, -RoutingRules::kMaxDelayMs, RoutingRules::kMaxDelayMs},
};

void checkName(const NameRule& rule, const QString& text, const std::string* bytes)
{
    std::string why;
    const auto name = PageInput::name(text, rule.check, why);
    if (!name) {
        if (why.empty())
            __builtin_trap(); // refused without a reason
        return;
    }
    // Accepted: the UTF-8 that goes on is the page's text, and within the bounds.
    if (QString::fromUtf8(name->data(), static_cast<qsizetype>(name->size())) != text || rule.check(*name) ||
        name->empty() || static_cast<size_t>(text.toUcs4().size()) > rule.maxCharacters)
        __builtin_trap();
    if (bytes != nullptr && *name != *bytes)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t pick = data[0] & 7;
    const char* rest = reinterpret_cast<const char*>(data + 1);
    const size_t restSize = size - 1;
    if (pick < 3) {
        const NameRule& rule = kNameRules[pick];
        if (data[0] & 0x80) {
            QString units;
            for (size_t i = 0; i + 1 < restSize; i += 2)
                units.append(QChar(static_cast<char16_t>(data[1 + i] | data[2 + i] << 8)));
            checkName(rule, units, nullptr);
            return 0;
        }
        const std::string bytes(rest, restSize);
        const QString decoded = QString::fromUtf8(rest, static_cast<qsizetype>(restSize));
        const bool validUtf8 = decoded.toUtf8() == QByteArray(rest, static_cast<qsizetype>(restSize));
        // The rule and Qt agree on which bytes are UTF-8.
        const bool refusedAsUtf8 = rule.check(bytes) == RoutingRules::Verdict("the name is not valid UTF-8");
        if (!bytes.empty() && refusedAsUtf8 == validUtf8)
            __builtin_trap();
        if (validUtf8)
            checkName(rule, decoded, &bytes);
        return 0;
    }
    const NumberRule& rule = kNumberRules[(pick - 3) % 5];
    const QJsonDocument document =
        QJsonDocument::fromJson("[" + QByteArray(rest, static_cast<qsizetype>(restSize)) + "]");
    if (!document.isArray() || document.array().size() != 1)
        return 0;
    std::string why;
    const QJsonValue value = document.array().at(0);
    const auto number = PageInput::number(value, rule.check, why);
    if (!number) {
        if (why.empty())
            __builtin_trap();
        return 0;
    }
    const double sent = value.toDouble();
    if (!value.isDouble() || static_cast<double>(*number) != sent || std::floor(sent) != sent || sent < rule.minimum ||
        sent > rule.maximum)
        __builtin_trap(); // accepted what is not a whole number within the bounds
    return 0;
}
