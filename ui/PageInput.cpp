#include "ui/PageInput.h"

#include <QtCore/QRegularExpression>

namespace PageInput {

std::optional<std::string> name(const QString& text, NameRule rule, std::string& why)
{
    const QByteArray utf8 = text.toUtf8();
    if (QString::fromUtf8(utf8) != text) {
        why = "the name is not valid Unicode";
        return std::nullopt;
    }
    std::string result(utf8.constData(), static_cast<size_t>(utf8.size()));
    if (auto refused = rule(result)) {
        why = *refused;
        return std::nullopt;
    }
    return result;
}

std::optional<double> numberOf(const QJsonValue& value)
{
    if (value.isDouble())
        return value.toDouble();
    static const QRegularExpression decimal(QRegularExpression::anchoredPattern(R"([+-]?[0-9]+(\.[0-9]+)?)"));
    const QString text = value.toString().trimmed();
    bool converted = false;
    const double number = value.isString() && decimal.match(text).hasMatch() ? text.toDouble(&converted) : 0;
    return converted ? std::optional(number) : std::nullopt;
}

std::optional<int64_t> number(const QJsonValue& value, NumberRule rule, std::string& why)
{
    const auto sent = numberOf(value);
    if (!sent) {
        why = "not a number";
        return std::nullopt;
    }
    if (auto refused = rule(*sent)) {
        why = *refused;
        return std::nullopt;
    }
    return static_cast<int64_t>(*sent);
}

} // namespace PageInput
