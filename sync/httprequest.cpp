#include "sync/httprequest.h"

#include <QByteArrayView>
#include <QList>

namespace http {

namespace {

bool isAllDigits(const QString &text)
{
    const QStringView digits = text.startsWith(QLatin1Char('+')) ? QStringView(text).mid(1) : QStringView(text);
    if (digits.isEmpty())
        return false;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace

ParseStatus parseHead(const QByteArray &buffer, HttpRequest &request, Framing &framing)
{
    // Only the first maxHeadSize bytes can hold the blank line, so a long body is never scanned.
    const QByteArrayView window = QByteArrayView(buffer).first(qMin(buffer.size(), maxHeadSize));
    const qsizetype blank = window.indexOf("\r\n\r\n");
    if (blank < 0)
        return buffer.size() >= maxHeadSize ? ParseStatus::HeadTooLarge : ParseStatus::NeedMore;

    const QList<QByteArray> lines = buffer.left(blank).split('\n');
    const QList<QByteArray> words = lines.first().trimmed().split(' ');
    if (words.size() < 2)
        return ParseStatus::Malformed;

    request.method = QString::fromLatin1(words.at(0)).toUpper();
    request.path = QString::fromLatin1(words.at(1));
    request.headers = QJsonObject();

    qint64 contentLength = 0;
    bool tooLarge = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QString name = QString::fromLatin1(line.left(colon)).trimmed().toLower();
        const QString value = QString::fromUtf8(line.mid(colon + 1)).trimmed();
        request.headers.insert(name, value);
        if (name != QLatin1String("content-length"))
            continue;
        // A later Content-Length replaces an earlier one, its verdict included.
        bool ok = false;
        const qint64 declared = value.toLongLong(&ok);
        if (ok) {
            contentLength = qMax<qint64>(declared, 0);
            tooLarge = declared > maxBodySize;
        } else {
            // A number too long for 64 bits is a huge declared body, not garbage to be read as 0.
            contentLength = 0;
            tooLarge = isAllDigits(value);
        }
    }
    if (tooLarge)
        return ParseStatus::BodyTooLarge;

    framing.bodyOffset = blank + 4;
    framing.contentLength = contentLength;
    return ParseStatus::Complete;
}

ParseStatus parseRequest(const QByteArray &buffer, HttpRequest &request)
{
    Framing framing;
    const ParseStatus status = parseHead(buffer, request, framing);
    if (status != ParseStatus::Complete)
        return status;
    if (buffer.size() < framing.totalSize())
        return ParseStatus::NeedMore;
    request.body = buffer.mid(framing.bodyOffset, framing.contentLength);
    return ParseStatus::Complete;
}

} // namespace http
