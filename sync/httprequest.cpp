#include "sync/httprequest.h"

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

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The end of the head: the first empty line, whether lines end in CRLF or in a bare LF. Returns the
// index of the last head line's LF (or -1), and sets bodyOffset past the empty line.
qsizetype findHeadEnd(QByteArrayView window, qsizetype &bodyOffset)
{
    for (qsizetype at = window.indexOf('\n'); at >= 0; at = window.indexOf('\n', at + 1)) {
        if (at + 1 < window.size() && window[at + 1] == '\n') {
            bodyOffset = at + 2;
            return at;
        }
        if (at + 2 < window.size() && window[at + 1] == '\r' && window[at + 2] == '\n') {
            bodyOffset = at + 3;
            return at;
        }
    }
    return -1;
}

// Proxies and some libraries send the target in absolute form; the service routes on its path and query.
QString originForm(const QString &target)
{
    const qsizetype schemeEnd = target.indexOf(QLatin1String("://"));
    if (schemeEnd < 0)
        return target;
    const QStringView scheme = QStringView(target).left(schemeEnd);
    if (scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) != 0
        && scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return target;
    const qsizetype authority = schemeEnd + 3;
    qsizetype start = target.indexOf(QLatin1Char('/'), authority);
    const qsizetype query = target.indexOf(QLatin1Char('?'), authority);
    if (start < 0 || (query >= 0 && query < start))
        start = query;
    if (start < 0)
        return QStringLiteral("/");
    const QString rest = target.mid(start);
    return rest.startsWith(QLatin1Char('?')) ? QLatin1Char('/') + rest : rest;
}

} // namespace

ParseStatus parseHead(const QByteArray &buffer, HttpRequest &request, Framing &framing)
{
    // Only the first maxHeadSize bytes can hold the blank line, so a long body is never scanned.
    const QByteArrayView window = QByteArrayView(buffer).first(qMin(buffer.size(), maxHeadSize));
    qsizetype bodyOffset = 0;
    const qsizetype headEnd = findHeadEnd(window, bodyOffset);
    if (headEnd < 0)
        return buffer.size() >= maxHeadSize ? ParseStatus::HeadTooLarge : ParseStatus::NeedMore;

    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> words = lines.first().trimmed().split(' ');
    if (words.size() < 2)
        return ParseStatus::Malformed;

    request.method = QString::fromLatin1(words.at(0)).toUpper();
    request.path = originForm(QString::fromLatin1(words.at(1)));
    request.headers = QJsonObject();

    qint64 contentLength = 0;
    bool hasLength = false;
    bool tooLarge = false;
    bool hasCoding = false;
    QList<QByteArray> codings;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QString name = QString::fromLatin1(line.left(colon)).trimmed().toLower();
        const QString value = QString::fromUtf8(line.mid(colon + 1)).trimmed();
        request.headers.insert(name, value);
        if (name == QLatin1String("transfer-encoding")) {
            // Codings add up over repeated lines, unlike the other headers: each one changes the framing.
            hasCoding = true;
            for (const QByteArray &coding : line.mid(colon + 1).split(',')) {
                if (!coding.trimmed().isEmpty())
                    codings << coding.trimmed().toLower();
            }
            continue;
        }
        if (name != QLatin1String("content-length"))
            continue;
        hasLength = true;
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

    framing.bodyOffset = bodyOffset;
    framing.chunked = false;
    if (hasCoding) {
        // Two ways of finding the end of the body disagree as soon as one of them is guessed wrong:
        // such a request is refused, never read one way or the other.
        if (hasLength)
            return ParseStatus::AmbiguousFraming;
        for (const QByteArray &coding : codings) {
            if (coding != "chunked")
                return ParseStatus::UnsupportedCoding;
        }
        if (codings.size() != 1)
            return ParseStatus::AmbiguousFraming;
        framing.chunked = true;
        framing.contentLength = 0;
        return ParseStatus::Complete;
    }
    if (tooLarge)
        return ParseStatus::BodyTooLarge;
    framing.contentLength = contentLength;
    return ParseStatus::Complete;
}

ParseStatus ChunkedDecoder::takeLine(QByteArrayView bytes, qsizetype &at, bool &lineComplete)
{
    const qsizetype end = bytes.indexOf('\n', at);
    const qsizetype stop = end < 0 ? bytes.size() : end;
    if (line.size() + (stop - at) > maxChunkLineSize)
        return ParseStatus::BadChunk;
    line.append(bytes.sliced(at, stop - at));
    lineComplete = end >= 0;
    at = lineComplete ? end + 1 : stop;
    if (lineComplete && line.endsWith('\r'))
        line.chop(1);
    return ParseStatus::NeedMore;
}

ParseStatus ChunkedDecoder::sizeLine(qint64 decoded)
{
    qint64 size = 0;
    qsizetype at = 0;
    for (; at < line.size() && hexValue(line.at(at)) >= 0; ++at) {
        size = size * 16 + hexValue(line.at(at));
        if (size > maxBodySize)
            return ParseStatus::BodyTooLarge;
    }
    if (at == 0)
        return ParseStatus::BadChunk;
    while (at < line.size() && (line.at(at) == ' ' || line.at(at) == '\t'))
        ++at;
    if (at < line.size() && line.at(at) != ';')
        return ParseStatus::BadChunk;
    if (decoded + size > maxBodySize)
        return ParseStatus::BodyTooLarge;
    remaining = size;
    phase = size == 0 ? Phase::Trailer : Phase::Data;
    return ParseStatus::NeedMore;
}

ParseStatus ChunkedDecoder::feed(QByteArrayView bytes, QByteArray &body)
{
    qsizetype at = 0;
    while (verdict == ParseStatus::NeedMore && at < bytes.size()) {
        const qsizetype before = at;
        if (phase == Phase::Data) {
            const qsizetype take = qsizetype(qMin<qint64>(remaining, bytes.size() - at));
            body.append(bytes.sliced(at, take));
            at += take;
            remaining -= take;
            if (remaining == 0)
                phase = Phase::DataEnd;
        } else {
            bool complete = false;
            verdict = takeLine(bytes, at, complete);
            if (verdict == ParseStatus::NeedMore && phase == Phase::DataEnd) {
                // Only the line end may follow a chunk's data; anything else is refused at once.
                if (!line.isEmpty() && (complete || line != "\r"))
                    verdict = ParseStatus::BadChunk;
                else if (complete)
                    phase = Phase::Size;
            } else if (verdict == ParseStatus::NeedMore && phase == Phase::Size) {
                // A body sent unchunked under a chunked header is caught at its first byte.
                if (!line.isEmpty() && hexValue(line.at(0)) < 0)
                    verdict = ParseStatus::BadChunk;
                else if (complete)
                    verdict = sizeLine(body.size());
            } else if (verdict == ParseStatus::NeedMore && complete && phase == Phase::Trailer && line.isEmpty()) {
                phase = Phase::Done;
                verdict = ParseStatus::Complete;
            }
            if (complete)
                line.clear();
        }
        wire += at - before;
        if (wire > maxBodySize && verdict != ParseStatus::BadChunk)
            verdict = ParseStatus::BodyTooLarge;
    }
    return verdict;
}

ParseStatus parseRequest(const QByteArray &buffer, HttpRequest &request)
{
    Framing framing;
    const ParseStatus status = parseHead(buffer, request, framing);
    if (status != ParseStatus::Complete)
        return status;
    if (framing.chunked) {
        request.body.clear();
        ChunkedDecoder decoder;
        return decoder.feed(QByteArrayView(buffer).sliced(framing.bodyOffset), request.body);
    }
    if (buffer.size() < framing.totalSize())
        return ParseStatus::NeedMore;
    request.body = buffer.mid(framing.bodyOffset, framing.contentLength);
    return ParseStatus::Complete;
}

} // namespace http
