#pragma once

#include <QByteArray>
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

// Framing and parsing of one HTTP/1.1 request held in a byte buffer. Free of sockets and of
// state between calls, so that it can be tested and fuzzed on plain bytes.
namespace http {

// The head (request line, headers and blank line) may not exceed this size.
constexpr qsizetype maxHeadSize = 64 * 1024;
// A full snapshot of a large shop is tens of MB; anything declaring more than this is refused.
constexpr qint64 maxBodySize = qint64(256) * 1024 * 1024;

enum class ParseStatus {
    Complete,     // the request (or, for parseHead, its head) is in
    NeedMore,     // wait for more bytes
    Malformed,    // the request line has fewer than two words
    HeadTooLarge, // no blank line within maxHeadSize
    BodyTooLarge, // Content-Length beyond maxBodySize
};

// Where the body lies once the head is in.
struct Framing
{
    qsizetype bodyOffset = 0;
    qint64 contentLength = 0;

    qint64 totalSize() const { return bodyOffset + contentLength; }
};

// Parses the request line and headers when the blank line is in; the body is left alone.
ParseStatus parseHead(const QByteArray &buffer, HttpRequest &request, Framing &framing);

// Parses the whole request; Complete only when all Content-Length bytes are in.
ParseStatus parseRequest(const QByteArray &buffer, HttpRequest &request);

} // namespace http
