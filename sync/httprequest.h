#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QString>

// One parsed HTTP request.
struct HttpRequest
{
    QString method;
    QString path;
    QJsonObject headers;
    QByteArray body;
};

// Framing and parsing of one HTTP/1.1 request held in a byte buffer. Free of sockets, so that it can be
// tested and fuzzed on plain bytes.
namespace http {

// The head (request line, headers and blank line) may not exceed this size.
constexpr qsizetype maxHeadSize = 64 * 1024;
// A full snapshot of a large shop is tens of MB; anything declaring or sending more than this is refused.
// A chunked body is held to it twice: decoded, and as the bytes on the wire.
constexpr qint64 maxBodySize = qint64(256) * 1024 * 1024;
// A chunk-size line (with its extensions) or a trailer line longer than this is not a phone's.
constexpr qsizetype maxChunkLineSize = 8 * 1024;

enum class ParseStatus {
    Complete, // the request (or, for parseHead, its head) is in
    NeedMore, // wait for more bytes
    Malformed, // the request line has fewer than two words
    HeadTooLarge, // no blank line within maxHeadSize
    BodyTooLarge, // Content-Length, a chunk size or the chunked bytes beyond maxBodySize
    AmbiguousFraming, // Transfer-Encoding with Content-Length, or chunked more than once
    UnsupportedCoding, // a transfer coding other than chunked
    BadChunk, // chunked framing that does not follow the grammar
};

// Where the body lies once the head is in.
struct Framing
{
    qsizetype bodyOffset = 0;
    qint64 contentLength = 0; // unused when chunked
    bool chunked = false;

    qint64 totalSize() const { return bodyOffset + contentLength; }
};

// Parses the request line and headers when the blank line is in; the body is left alone. A line may end
// in a bare LF as well as in CRLF. An absolute-form target ("http://host:port/path?query") is reduced
// to its path and query.
ParseStatus parseHead(const QByteArray &buffer, HttpRequest &request, Framing &framing);

// Decodes a chunked body as its bytes arrive: between calls it keeps only its place in the grammar and
// the unfinished line, so a long upload is read once however it is split. Chunk extensions and trailer
// fields are read and ignored.
class ChunkedDecoder
{
public:
    // Appends the data of the next bytes to body. Complete once the last chunk and the trailer section
    // are in; bytes after them are not consumed. Any status but NeedMore is final.
    ParseStatus feed(QByteArrayView bytes, QByteArray &body);

    // Body bytes consumed so far, framing included.
    qint64 wireSize() const { return wire; }

private:
    enum class Phase {
        Size,
        Data,
        DataEnd,
        Trailer,
        Done
    };

    ParseStatus takeLine(QByteArrayView bytes, qsizetype &at, bool &lineComplete);
    ParseStatus sizeLine(qint64 decoded);

    Phase phase = Phase::Size;
    ParseStatus verdict = ParseStatus::NeedMore;
    QByteArray line;
    qint64 remaining = 0;
    qint64 wire = 0;
};

// Parses the whole request; Complete only when the whole body is in.
ParseStatus parseRequest(const QByteArray &buffer, HttpRequest &request);

} // namespace http
