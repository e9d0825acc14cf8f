// The checks of what the page sends (ui/PageInput over engine/RoutingRules)
// on arbitrary values. The first byte picks the rule (its low four bits) and,
// for names, whether the rest is UTF-8 bytes or UTF-16 code units (bit 7);
// for numbers the rest is the JSON text of the value (a number, or a text the
// web channel took as one). Qt's own UTF-8 codec is the second opinion on
// what is valid UTF-8 and how many characters a name has, Qt's own number
// conversion on what a decimal text stands for.

#include "ui/PageInput.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>

#include <cmath>
#include <tuple>
#include <utility>

namespace {

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

using NameRule = std::pair<PageInput::NameRule, size_t>; // and its most characters
const NameRule kNameRules[] = {
    {RoutingRules::checkSourceName, RoutingRules::kMaxNameLength},
    {RoutingRules::checkSenderName, RoutingRules::kMaxSenderNameLength},
    {RoutingRules::checkNewSenderName, RoutingRules::kMaxSenderNameLength},
    {RoutingRules::checkStoredName, SIZE_MAX},
};
const std::tuple<PageInput::NumberRule, double, double> kNumberRules[] = {
    {RoutingRules::checkChannelCount, 0, RoutingRules::kMaxSenderChannels},
    {RoutingRules::checkSenderChannel, 0, RoutingRules::kMaxSenderChannels - 1},
    {RoutingRules::checkSourceChannel, 0, RoutingRules::kMaxSourceChannel},
    {RoutingRules::checkStoredSourceChannel, 0, RoutingRules::kMaxSourceChannel + 1.0},
    {RoutingRules::checkDelay, -RoutingRules::kMaxDelayMs, RoutingRules::kMaxDelayMs},
};

// Refused with a reason, or accepted as the page's text in UTF-8 (the very
// `bytes` the page sent, if it sent bytes) that keeps the rule and its length.
void checkName(const NameRule& rule, const QString& text, const std::string* bytes)
{
    std::string why;
    const auto name = PageInput::name(text, rule.first, why);
    if (!name)
        return require(!why.empty());
    require(QString::fromUtf8(name->data(), static_cast<qsizetype>(name->size())) == text && !rule.first(*name) &&
        !name->empty() && static_cast<size_t>(text.toUcs4().size()) <= rule.second &&
        (bytes == nullptr || *name == *bytes));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // 0 to 2 and 8 pick a name rule, 3 to 7 a number rule.
    const int pick = (data[0] & 0x0F) % 9;
    const int nameRule = pick < 3 ? pick : pick == 8 ? 3 : -1;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    if (nameRule >= 0 && (data[0] & 0x80) != 0) {
        QString units;
        for (qsizetype i = 0; i + 1 < rest.size(); i += 2)
            units.append(QChar(static_cast<char16_t>(data[1 + i] | data[2 + i] << 8)));
        checkName(kNameRules[nameRule], units, nullptr);
    } else if (nameRule >= 0) {
        const std::string bytes = rest.toStdString();
        const QString decoded = QString::fromUtf8(rest.constData(), rest.size());
        const bool validUtf8 = decoded.toUtf8() == rest;
        // The rule and Qt agree on which bytes are UTF-8.
        const bool refusedAsUtf8 =
            kNameRules[nameRule].first(bytes) == RoutingRules::Verdict("the name is not valid UTF-8");
        require(bytes.empty() || refusedAsUtf8 != validUtf8);
        if (validUtf8)
            checkName(kNameRules[nameRule], decoded, &bytes);
    } else {
        const auto& [rule, minimum, maximum] = kNumberRules[pick - 3];
        const QJsonDocument document = QJsonDocument::fromJson("[" + rest + "]");
        if (!document.isArray() || document.array().size() != 1)
            return 0;
        std::string why;
        const QJsonValue value = document.array().at(0);
        bool converted = value.isDouble();
        const double sent = converted ? value.toDouble() : value.toString().trimmed().toDouble(&converted);
        if (const auto number = PageInput::number(value, rule, why)) // a whole number within the bounds
            require(converted && static_cast<double>(*number) == sent && std::floor(sent) == sent && sent >= minimum &&
                sent <= maximum);
        else
            require(!why.empty());
    }
    return 0;
}
