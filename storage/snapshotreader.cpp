#include "storage/snapshotreader.h"

#include "catalogue/catalogue.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstring>

namespace {

// QJsonDocument refuses a document nested deeper than this.
constexpr int maxNesting = 1024;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Walks the text piece by piece. It only finds where each value ends; whether a value is valid JSON is
// left to QJsonDocument, so the two can never disagree.
class Scanner
{
public:
    Scanner(const char *begin, const char *end)
        : begin(begin)
        , p(begin)
        , end(end)
    {
    }

    void skipSpace()
    {
        while (p != end && isSpace(*p))
            ++p;
    }

    bool take(char c)
    {
        if (p == end || *p != c)
            return false;
        ++p;
        return true;
    }

    bool atEnd() const { return p == end; }
    char peek() const { return p == end ? '\0' : *p; }
    qsizetype offset() const { return p - begin; }

    // Moves past one value and gives its nesting depth (0 for a scalar). False when the text ends first.
    bool skipValue(int &depth)
    {
        depth = 0;
        if (p == end)
            return false;
        if (*p == '"')
            return skipString();
        if (*p != '{' && *p != '[') {
            while (p != end && !isSpace(*p) && *p != ',' && *p != ']' && *p != '}')
                ++p;
            return true;
        }
        int level = 0;
        while (p != end) {
            const char c = *p;
            if (c == '"') {
                if (!skipString())
                    return false;
                continue;
            }
            ++p;
            if (c == '{' || c == '[') {
                depth = qMax(depth, ++level);
            } else if (c == '}' || c == ']') {
                if (--level == 0)
                    return true;
            }
        }
        return false;
    }

private:
    // A quote ends the string unless an odd number of backslashes stands right before it.
    bool skipString()
    {
        const char *const opening = p++;
        while (p != end) {
            const char *quote = static_cast<const char *>(std::memchr(p, '"', size_t(end - p)));
            if (!quote) {
                p = end;
                return false;
            }
            const char *escape = quote;
            while (escape - 1 > opening && escape[-1] == '\\')
                --escape;
            p = quote + 1;
            if ((quote - escape) % 2 == 0)
                return true;
        }
        return false;
    }

    const char *begin;
    const char *p;
    const char *end;
};

// Whether QJsonDocument accepts the piece as a value at the given depth. A scalar is read inside an
// array of its own, since a document holds only objects and arrays; its value is given back.
bool acceptedPiece(const char *data, qsizetype length, int depth, int enclosing, QJsonValue *scalar = nullptr)
{
    if (length == 0 || depth + enclosing > maxNesting)
        return false;
    QJsonParseError error;
    if (depth > 0) {
        QJsonDocument::fromJson(QByteArray::fromRawData(data, length), &error);
        return error.error == QJsonParseError::NoError;
    }
    QByteArray wrapped;
    wrapped.reserve(length + 2);
    wrapped.append('[').append(data, length).append(']');
    const QJsonDocument document = QJsonDocument::fromJson(wrapped, &error);
    if (error.error != QJsonParseError::NoError || document.array().size() != 1)
        return false;
    if (scalar)
        *scalar = document.array().first();
    return true;
}

// An object of blanks only, the piece already known to be valid.
bool isBlankObject(const char *data, qsizetype length)
{
    for (qsizetype i = 1; i < length - 1; ++i) {
        if (!isSpace(data[i]))
            return false;
    }
    return true;
}

} // namespace

SnapshotReader::SnapshotReader(const QByteArray &text, Check check)
    : text(text)
    , check(check)
{
    valid = scan();
    if (!valid) {
        memberCount = 0;
        arrays.clear();
    }
}

bool SnapshotReader::scan()
{
    const char *const data = text.constData();
    qsizetype start = 0;
    // QJsonDocument skips a byte order mark at the very start, and nowhere else.
    if (text.startsWith("\xEF\xBB\xBF"))
        start = 3;
    Scanner scanner(data + start, data + text.size());
    const qsizetype base = start;
    int depth = 0;

    scanner.skipSpace();
    if (!scanner.take('{'))
        return false;
    scanner.skipSpace();
    if (!scanner.take('}')) {
        for (;;) {
            if (scanner.peek() != '"')
                return false;
            qsizetype at = base + scanner.offset();
            if (!scanner.skipValue(depth))
                return false;
            QJsonValue key;
            if (!acceptedPiece(data + at, base + scanner.offset() - at, 0, 1, &key) || !key.isString())
                return false;
            // QJsonDocument keeps a key's bytes as sent, but drops a leading byte order mark when it hands
            // the key out as text: such a key is never found by its name, so it names no table here either.
            QString name = key.toString();
            if (QByteArrayView(data + at + 1, base + scanner.offset() - at - 1).startsWith("\xEF\xBB\xBF"))
                name.prepend(QChar(0xFEFF));
            scanner.skipSpace();
            if (!scanner.take(':'))
                return false;
            scanner.skipSpace();

            if (scanner.peek() == '[' && findTable(name)) {
                // A later copy of a key replaces an earlier one, as in QJsonDocument.
                QList<qsizetype> &elements = arrays[name];
                elements.clear();
                scanner.take('[');
                scanner.skipSpace();
                if (!scanner.take(']')) {
                    for (;;) {
                        at = base + scanner.offset();
                        if (!scanner.skipValue(depth))
                            return false;
                        const qsizetype length = base + scanner.offset() - at;
                        if (check == Check::Pieces && !acceptedPiece(data + at, length, depth, 2))
                            return false;
                        if (data[at] == '{' && !isBlankObject(data + at, length))
                            elements.append(at);
                        scanner.skipSpace();
                        if (scanner.take(']'))
                            break;
                        if (!scanner.take(','))
                            return false;
                        scanner.skipSpace();
                    }
                }
            } else {
                arrays.remove(name);
                at = base + scanner.offset();
                if (!scanner.skipValue(depth) || !acceptedPiece(data + at, base + scanner.offset() - at, depth, 1))
                    return false;
            }
            ++memberCount;

            scanner.skipSpace();
            if (scanner.take('}'))
                break;
            if (!scanner.take(','))
                return false;
            scanner.skipSpace();
        }
    }
    scanner.skipSpace();
    return scanner.atEnd();
}

qsizetype SnapshotReader::size(const QString &table) const
{
    const auto found = arrays.constFind(table);
    return found == arrays.constEnd() ? 0 : found->size();
}

QJsonObject SnapshotReader::record(const QString &table, qsizetype index) const
{
    const QByteArrayView piece = element(table, index);
    return QJsonDocument::fromJson(QByteArray::fromRawData(piece.data(), piece.size())).object();
}

QByteArrayView SnapshotReader::element(const QString &table, qsizetype index) const
{
    const auto found = arrays.constFind(table);
    if (found == arrays.constEnd() || index < 0 || index >= found->size())
        return {};
    const qsizetype offset = found->at(index);
    Scanner scanner(text.constData() + offset, text.constData() + text.size());
    int depth = 0;
    scanner.skipValue(depth);
    return QByteArrayView(text.constData() + offset, scanner.offset());
}

bool SnapshotReader::nextMember(QByteArrayView object, qsizetype *at, QByteArrayView *key, QByteArrayView *value)
{
    const char *const data = object.data();
    Scanner scanner(data + *at, data + object.size());
    int depth = 0;
    scanner.skipSpace();
    // The object's opening brace before the first member, a comma before every other.
    if (!scanner.take(*at == 0 ? '{' : ','))
        return false;
    scanner.skipSpace();
    if (scanner.peek() != '"')
        return false;
    const qsizetype keyAt = *at + scanner.offset();
    if (!scanner.skipValue(depth))
        return false;
    *key = QByteArrayView(data + keyAt, *at + scanner.offset() - keyAt);
    scanner.skipSpace();
    if (!scanner.take(':'))
        return false;
    scanner.skipSpace();
    const qsizetype valueAt = *at + scanner.offset();
    if (!scanner.skipValue(depth))
        return false;
    *value = QByteArrayView(data + valueAt, *at + scanner.offset() - valueAt);
    *at += scanner.offset();
    return true;
}
