#include "app/TextCodec.h"
#include "config/Cp1250.h"

#include <QStringDecoder>
#include <algorithm>

namespace quenlo::app {

namespace {

// Length of the well-formed UTF-8 sequence at bytes[i] (2 to 4), or 0 when there is none.
std::size_t Utf8SequenceAt(const std::string& bytes, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char lead = at(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > bytes.size() || at(i + 1) < low || at(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF)
            return 0;
    return length;
}

// A text that is not UTF-8 as a whole: well-formed UTF-8 sequences are still read as UTF-8 (the
// program's own texts), every other byte as code page 1250 (values from an older printers file).
QString DecodeMixed(const std::string& bytes) {
    QString out;
    out.reserve(static_cast<qsizetype>(bytes.size()));
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out.append(QChar(char16_t(c)));
            ++i;
        } else if (std::size_t n = Utf8SequenceAt(bytes, i)) {
            out.append(QString::fromUtf8(bytes.data() + i, static_cast<qsizetype>(n)));
            i += n;
        } else {
            out.append(QChar(kCp1250High[c - 0x80]));
            ++i;
        }
    }
    return out;
}

}  // namespace

QString DecodeForDisplay(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError())
        return text;
    return DecodeMixed(bytes);
}

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
    QString text = DecodeForDisplay(bytes);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QChar(u'\r'), QChar(u'\n'));
    return text;
}

}  // namespace quenlo::app
