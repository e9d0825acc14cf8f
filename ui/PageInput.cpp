#include "ui/PageInput.h"

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

std::optional<int64_t> number(const QJsonValue& value, NumberRule rule, std::string& why)
{
    if (!value.isDouble()) {
        why = "not a number";
        return std::nullopt;
    }
    if (auto refused = rule(value.toDouble())) {
        why = *refused;
        return std::nullopt;
    }
    return static_cast<int64_t>(value.toDouble());
}

} // namespace PageInput
