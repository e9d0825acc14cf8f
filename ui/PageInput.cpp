#include "ui/PageInput.h"

#include <cmath>

namespace PageInput {

std::optional<int64_t> wholeNumber(const QJsonValue& value, int64_t minimum, int64_t maximum, QString& why)
{
    if (!value.isDouble()) {
        why = "not a number";
        return std::nullopt;
    }
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number) {
        why = QString("%1 is not a whole number").arg(number);
        return std::nullopt;
    }
    if (number < static_cast<double>(minimum) || number > static_cast<double>(maximum)) {
        why = QString("%1 is outside %2 … %3").arg(number).arg(minimum).arg(maximum);
        return std::nullopt;
    }
    return static_cast<int64_t>(number);
}

bool isAcceptableName(const QString& name, QString& why)
{
    if (name.isEmpty()) {
        why = "the name is empty";
        return false;
    }
    if (name.size() > kMaxNameLength) {
        why = QString("the name has %1 characters, at most %2").arg(name.size()).arg(kMaxNameLength);
        return false;
    }
    return true;
}

bool isAcceptableNewSenderName(const QString& name, QString& why)
{
    if (!isAcceptableName(name, why))
        return false;
    if (name.trimmed().isEmpty()) {
        why = "the name is only blanks";
        return false;
    }
    if (name.size() > kMaxSenderNameLength) {
        why = QString("the name has %1 characters, at most %2").arg(name.size()).arg(kMaxSenderNameLength);
        return false;
    }
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format) {
            why = "the name holds control characters";
            return false;
        }
    }
    if (name == "Monitor") {
        why = "\"Monitor\" is reserved for the local output";
        return false;
    }
    return true;
}

} // namespace PageInput
