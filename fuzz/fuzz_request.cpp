// libFuzzer target for the request parser: any bytes a peer sends must parse without a crash, the framing
// must stay within its bounds, and a chunked body must decode the same however its bytes are split.
// Built and run by scripts/fuzz.sh.

#include "fuzzcheck.h"
#include "sync/httprequest.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray buffer(reinterpret_cast<const char *>(data), qsizetype(size));

    HttpRequest head;
    http::Framing framing;
    const http::ParseStatus headStatus = http::parseHead(buffer, head, framing);
    if (headStatus == http::ParseStatus::Complete) {
        check(framing.bodyOffset >= 2 && framing.bodyOffset <= http::maxHeadSize);
        check(framing.bodyOffset <= buffer.size());
        check(framing.contentLength >= 0 && framing.contentLength <= http::maxBodySize);
        check(!framing.chunked || framing.contentLength == 0);
        check(head.method == head.method.toUpper());
        check(!head.path.startsWith(QLatin1String("http://"), Qt::CaseInsensitive));
    }

    HttpRequest request;
    const http::ParseStatus status = http::parseRequest(buffer, request);
    if (headStatus != http::ParseStatus::Complete) {
        check(status == headStatus);
        return 0;
    }
    check(request.method == head.method && request.path == head.path && request.headers == head.headers);
    if (!framing.chunked) {
        if (buffer.size() < framing.totalSize()) {
            check(status == http::ParseStatus::NeedMore);
        } else {
            check(status == http::ParseStatus::Complete);
            check(request.body == buffer.mid(framing.bodyOffset, framing.contentLength));
        }
        return 0;
    }

    check(status == http::ParseStatus::Complete || status == http::ParseStatus::NeedMore
          || status == http::ParseStatus::BadChunk || status == http::ParseStatus::BodyTooLarge);
    // The same body fed in pieces whose sizes come from the input itself.
    const QByteArrayView rest = QByteArrayView(buffer).sliced(framing.bodyOffset);
    http::ChunkedDecoder decoder;
    QByteArray body;
    http::ParseStatus pieces = http::ParseStatus::NeedMore;
    for (qsizetype at = 0, step = 1; at < rest.size(); at += step) {
        step = 1 + (uint8_t(rest[at]) % 17);
        pieces = decoder.feed(rest.sliced(at, qMin(step, rest.size() - at)), body);
    }
    check(pieces == status);
    check(body.size() <= decoder.wireSize() && decoder.wireSize() <= rest.size());
    if (status == http::ParseStatus::Complete) {
        check(body == request.body);
        check(decoder.wireSize() <= http::maxBodySize);
    }
    return 0;
}
