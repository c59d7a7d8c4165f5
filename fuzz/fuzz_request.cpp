// libFuzzer target for the request parser: any bytes a peer sends must parse without a crash, and the
// framing must stay within its bounds. Built and run by scripts/fuzz.sh.

#include "sync/httprequest.h"

#include <cstddef>
#include <cstdint>

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray buffer(reinterpret_cast<const char *>(data), qsizetype(size));

    HttpRequest head;
    http::Framing framing;
    const http::ParseStatus headStatus = http::parseHead(buffer, head, framing);
    if (headStatus == http::ParseStatus::Complete) {
        check(framing.bodyOffset >= 4 && framing.bodyOffset <= http::maxHeadSize);
        check(framing.bodyOffset <= buffer.size());
        check(framing.contentLength >= 0 && framing.contentLength <= http::maxBodySize);
        check(head.method == head.method.toUpper());
    }

    HttpRequest request;
    const http::ParseStatus status = http::parseRequest(buffer, request);
    if (headStatus != http::ParseStatus::Complete) {
        check(status == headStatus);
    } else if (buffer.size() < framing.totalSize()) {
        check(status == http::ParseStatus::NeedMore);
    } else {
        check(status == http::ParseStatus::Complete);
        check(request.body == buffer.mid(framing.bodyOffset, framing.contentLength));
        check(request.method == head.method && request.path == head.path && request.headers == head.headers);
    }
    return 0;
}
