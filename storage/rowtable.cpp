#include "storage/rowtable.h"

#include <QStringMatcher>

#include <algorithm>
#include <cstring>

namespace {

// Each value is a tag, then its bytes: nothing for null, eight for a number, a length and the
// characters for text (one byte each for ASCII, two for any other).
constexpr char nullTag = 'n';
constexpr char integerTag = 'i';
constexpr char realTag = 'r';
constexpr char asciiTag = 'a';
constexpr char textTag = 't';

template<typename T>
T readAt(const char *at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template<typename T>
void append(QByteArray &block, char tag, const T &value)
{
    block.append(tag);
    block.append(reinterpret_cast<const char *>(&value), sizeof value);
}

// Where the characters of a value at this offset begin: UTF-16 text is kept on an even offset, so that
// it is read in place as properly aligned characters.
qsizetype charactersAt(qsizetype at, char tag)
{
    const qsizetype start = at + 5;
    return tag == textTag ? start + (start & 1) : start;
}

// The offset of the value after the one at this offset.
qsizetype nextValue(const char *data, qsizetype at)
{
    switch (data[at]) {
    case integerTag:
    case realTag:
        return at + 9;
    case asciiTag:
        return charactersAt(at, asciiTag) + readAt<qint32>(data + at + 1);
    case textTag:
        return charactersAt(at, textTag) + qsizetype(readAt<qint32>(data + at + 1)) * 2;
    default:
        return at + 1;
    }
}

} // namespace

void RowTable::clear()
{
    table.clear();
    names.clear();
    block.clear();
    rowStart.clear();
    stamp.clear();
}

void RowTable::addNull()
{
    block.append(nullTag);
}

void RowTable::addInteger(qint64 value)
{
    append(block, integerTag, value);
}

void RowTable::addReal(double value)
{
    append(block, realTag, value);
}

void RowTable::addAscii(const char *text, int length)
{
    append(block, asciiTag, qint32(length));
    block.append(text, length);
}

void RowTable::addText(const QString &value)
{
    const qsizetype at = block.size();
    append(block, textTag, qint32(value.size()));
    if (charactersAt(at, textTag) != block.size())
        block.append('\0');
    block.append(reinterpret_cast<const char *>(value.utf16()), value.size() * 2);
}

qsizetype RowTable::find(int row, int column) const
{
    qsizetype at = rowStart.at(row);
    const char *data = block.constData();
    for (int i = 0; i < column; ++i)
        at = nextValue(data, at);
    return at;
}

QJsonValue RowTable::decode(qsizetype at) const
{
    const char *data = block.constData();
    const char tag = data[at];
    switch (tag) {
    case integerTag:
        return readAt<qint64>(data + at + 1);
    case realTag:
        return readAt<double>(data + at + 1);
    case asciiTag:
        return QString::fromLatin1(data + charactersAt(at, tag), readAt<qint32>(data + at + 1));
    case textTag:
        return QString(reinterpret_cast<const QChar *>(data + charactersAt(at, tag)), readAt<qint32>(data + at + 1));
    default:
        // NULL reads as the empty text, as in a Record.
        return QStringLiteral("");
    }
}

QJsonValue RowTable::value(int row, int column) const
{
    if (row < 0 || row >= rowStart.size() || column < 0 || column >= names.size())
        return QJsonValue(QJsonValue::Undefined);
    return decode(find(row, column));
}

int RowTable::rowWithText(int column, QStringView text) const
{
    if (column < 0 || column >= names.size())
        return -1;
    const char *data = block.constData();
    for (int row = 0; row < rowStart.size(); ++row) {
        const qsizetype at = find(row, column);
        const char tag = data[at];
        const qint32 length = readAt<qint32>(data + at + 1);
        if ((tag != asciiTag && tag != textTag) || length != text.size())
            continue;
        const char *characters = data + charactersAt(at, tag);
        if (tag == textTag ? QStringView(reinterpret_cast<const QChar *>(characters), length) == text
                           : QLatin1StringView(characters, length) == text)
            return row;
    }
    return -1;
}

QString RowTable::text(int row, int column) const
{
    const QJsonValue found = value(row, column);
    return found.isString() ? found.toString() : QString();
}

QJsonObject RowTable::record(int row) const
{
    QJsonObject record;
    if (row < 0 || row >= rowStart.size())
        return record;
    qsizetype at = rowStart.at(row);
    for (const QString &name : names) {
        record.insert(name, decode(at));
        at = nextValue(block.constData(), at);
    }
    return record;
}

QList<int> RowTable::rowsMatching(const QList<int> &columns, const QString &search) const
{
    const QStringMatcher matcher(search, Qt::CaseInsensitive);
    QList<bool> searched(names.size(), false);
    for (const int column : columns) {
        if (column >= 0 && column < searched.size())
            searched[column] = true;
    }
    // Text whose case folding leaves a character beyond ASCII is never found in an ASCII value.
    const QString folded = search.toCaseFolded();
    const bool asciiMayMatch = std::all_of(folded.cbegin(), folded.cend(), [](QChar c) { return c.unicode() < 0x80; });
    const char *data = block.constData();
    // ASCII is widened into one buffer that keeps its capacity, not into a new text per value.
    QString wide;
    QList<int> found;
    for (int row = 0; row < rowStart.size(); ++row) {
        qsizetype at = rowStart.at(row);
        for (int column = 0; column < searched.size(); at = nextValue(data, at), ++column) {
            const char tag = data[at];
            if (!searched.at(column) || (tag != textTag && (tag != asciiTag || !asciiMayMatch)))
                continue;
            const qint32 length = readAt<qint32>(data + at + 1);
            const char *characters = data + charactersAt(at, tag);
            QStringView text;
            if (tag == asciiTag) {
                wide.resize(length);
                char16_t *out = reinterpret_cast<char16_t *>(wide.data());
                for (qint32 i = 0; i < length; ++i)
                    out[i] = static_cast<unsigned char>(characters[i]);
                text = wide;
            } else {
                text = QStringView(reinterpret_cast<const QChar *>(characters), length);
            }
            if (matcher.indexIn(text) >= 0) {
                found.append(row);
                break;
            }
        }
    }
    return found;
}
