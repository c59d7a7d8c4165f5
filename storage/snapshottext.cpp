#include "storage/snapshottext.h"

#include "catalogue/records.h"

#include <QLocale>

#include <cmath>

namespace snapshottext {

namespace {

const char hexDigits[] = "0123456789abcdef";

void appendEscaped(QByteArray &out, char16_t c)
{
    switch (c) {
    case u'"':
        out.append("\\\"", 2);
        return;
    case u'\\':
        out.append("\\\\", 2);
        return;
    case u'\b':
        out.append("\\b", 2);
        return;
    case u'\f':
        out.append("\\f", 2);
        return;
    case u'\n':
        out.append("\\n", 2);
        return;
    case u'\r':
        out.append("\\r", 2);
        return;
    case u'\t':
        out.append("\\t", 2);
        return;
    default:
        break;
    }
    const char escape[6] = {'\\', 'u', '0', '0', hexDigits[(c >> 4) & 0xf], hexDigits[c & 0xf]};
    out.append(escape, 6);
}

} // namespace

void appendString(QByteArray &out, QStringView text)
{
    out.append('"');
    const char16_t *it = text.utf16();
    const char16_t *const end = it + text.size();
    while (it != end) {
        // Runs of plain ASCII, the bulk of ids, stamps and numbers kept as text, go in one append.
        const char16_t *run = it;
        while (it != end && *it >= 0x20 && *it < 0x80 && *it != u'"' && *it != u'\\')
            ++it;
        if (it != run) {
            const qsizetype start = out.size();
            out.resize(start + (it - run));
            char *dst = out.data() + start;
            for (const char16_t *p = run; p != it; ++p)
                *dst++ = char(*p);
        }
        if (it == end)
            break;

        char32_t c = *it++;
        if (c < 0x20 || c == u'"' || c == u'\\') {
            appendEscaped(out, char16_t(c));
            continue;
        }
        if (c >= 0xd800 && c < 0xdc00 && it != end && *it >= 0xdc00 && *it < 0xe000)
            c = 0x10000 + ((c - 0xd800) << 10) + (*it++ - 0xdc00);
        else if (c >= 0xd800 && c < 0xe000)
            c = 0xfffd; // a lone surrogate, replaced as QString::toUtf8 does
        char bytes[4];
        int n;
        if (c < 0x800) {
            bytes[0] = char(0xc0 | (c >> 6));
            bytes[1] = char(0x80 | (c & 0x3f));
            n = 2;
        } else if (c < 0x10000) {
            bytes[0] = char(0xe0 | (c >> 12));
            bytes[1] = char(0x80 | ((c >> 6) & 0x3f));
            bytes[2] = char(0x80 | (c & 0x3f));
            n = 3;
        } else {
            bytes[0] = char(0xf0 | (c >> 18));
            bytes[1] = char(0x80 | ((c >> 12) & 0x3f));
            bytes[2] = char(0x80 | ((c >> 6) & 0x3f));
            bytes[3] = char(0x80 | (c & 0x3f));
            n = 4;
        }
        out.append(bytes, n);
    }
    out.append('"');
}

void appendString(QByteArray &out, QLatin1StringView ascii)
{
    out.append('"');
    const char *it = ascii.data();
    const char *const end = it + ascii.size();
    while (it != end) {
        const char *run = it;
        while (it != end && static_cast<unsigned char>(*it) >= 0x20 && *it != '"' && *it != '\\')
            ++it;
        out.append(run, it - run);
        if (it == end)
            break;
        appendEscaped(out, char16_t(static_cast<unsigned char>(*it++)));
    }
    out.append('"');
}

void appendNumber(QByteArray &out, double value)
{
    if (!std::isfinite(value)) {
        out.append("null", 4);
        return;
    }
    if (const std::optional<qint64> integral = wholeNumber(value)) {
        appendInteger(out, *integral);
        return;
    }
    out.append(QByteArray::number(value, 'g', QLocale::FloatingPointShortest));
}

void appendInteger(QByteArray &out, qint64 value)
{
    char digits[24];
    char *p = digits + sizeof digits;
    quint64 magnitude = value < 0 ? 0 - quint64(value) : quint64(value);
    do {
        *--p = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        *--p = '-';
    out.append(p, digits + sizeof digits - p);
}

QString valueText(const QJsonValue &value)
{
    if (value.isDouble()) {
        QByteArray text;
        appendNumber(text, value.toDouble());
        return QString::fromLatin1(text);
    }
    return value.isString() ? value.toString() : QString();
}

} // namespace snapshottext
