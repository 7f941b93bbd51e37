#include "app/TextCodec.h"
#include "monitor/DisplayText.h"

#include <algorithm>

namespace quenlo::app {

QString DecodeForDisplay(const std::string& bytes) { return QString::fromStdU16String(DisplayText(bytes)); }

QString IsolatedForDisplay(const std::string& bytes) {
    const QString decoded = DecodeForDisplay(bytes);
    // Left-to-right text without bidirectional controls needs nothing, and stays exactly as it was.
    const bool needsIsolation = std::any_of(decoded.begin(), decoded.end(), [](QChar c) {
        switch (c.direction()) {
        case QChar::DirR: case QChar::DirAL: case QChar::DirAN:
        case QChar::DirLRE: case QChar::DirLRO: case QChar::DirRLE: case QChar::DirRLO: case QChar::DirPDF:
        case QChar::DirLRI: case QChar::DirRLI: case QChar::DirFSI: case QChar::DirPDI:
            return true;
        default:
            return false;
        }
    });
    if (!needsIsolation)
        return decoded;
    QString out;
    out.reserve(decoded.size() + 10);
    out.append(QChar(char16_t(0x2068)));  // FIRST STRONG ISOLATE
    for (const QChar c : decoded) {
        const char16_t u = c.unicode();
        if ((u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069))
            out.append(QStringLiteral("<U+%1>").arg(unsigned(u), 4, 16, QLatin1Char('0')).toUpper());
        else
            out.append(c);
    }
    out.append(QChar(char16_t(0x2069)));  // POP DIRECTIONAL ISOLATE
    return out;
}

QString MessageTextForDisplay(const std::string& bytes) {
    return QString::fromStdU16String(DisplayMessageText(bytes, u"\n"));
}

}  // namespace quenlo::app
