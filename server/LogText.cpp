#include "server/LogText.h"

#include <QtCore/QList>
#include <QtCore/QStringDecoder>

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

QString LogText::quoted(QByteArrayView bytes, qsizetype most)
{
    QString out("\"");
    qsizetype shown = 0;
    for (qsizetype i = 0; i < bytes.size(); ++shown) {
        if (shown == most)
            return out + QString("\"... (%1 bytes)").arg(bytes.size());
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const qsizetype length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded =
            lead >= 0x80 && i + length <= bytes.size() ? decoder(bytes.sliced(i, length)) : QString();
        if (lead < 0x80) {
            escape(out, lead);
            ++i;
        } else if (!decoder.hasError() && !decoded.isEmpty() && !decoded.contains(QChar::ReplacementCharacter)) {
            escape(out, decoded.toUcs4().value(0));
            i += length;
        } else {
            // Not UTF-8: the byte itself, in hexadecimal.
            out += QString("\\x%1").arg(lead, 2, 16, QChar('0'));
            ++i;
        }
    }
    return out + '"';
}
