#include "server/LogText.h"

namespace {

void escape(QString& out, char32_t c)
{
    switch (c) {
    case '"': out += QLatin1String("\\\""); return;
    case '\\': out += QLatin1String("\\\\"); return;
    case '\n': out += QLatin1String("\\n"); return;
    case '\r': out += QLatin1String("\\r"); return;
    case '\t': out += QLatin1String("\\t"); return;
    default: break;
    }
    const auto category = QChar::category(c);
    const bool invisible = category == QChar::Other_Control || category == QChar::Other_Format ||
        category == QChar::Other_Surrogate || category == QChar::Other_NotAssigned ||
        category == QChar::Separator_Line || category == QChar::Separator_Paragraph;
    if (!invisible)
        out += QString::fromUcs4(&c, 1);
    else if (c < 0x10000)
        out += QString("\\u%1").arg(static_cast<uint>(c), 4, 16, QChar('0'));
    else
        out += QString("\\U%1").arg(static_cast<uint>(c), 8, 16, QChar('0'));
}

} // namespace

QString LogText::quoted(QStringView text, qsizetype most)
{
    QString out("\"");
    qsizetype shown = 0;
    for (qsizetype i = 0; i < text.size(); ++i, ++shown) {
        if (shown == most) {
            out += QString("\"... (%1 characters)").arg(text.size());
            return out;
        }
        const QChar unit = text[i];
        char32_t c = unit.unicode();
        if (unit.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            c = QChar::surrogateToUcs4(unit, text[++i]);
        escape(out, c);
    }
    return out + '"';
}
