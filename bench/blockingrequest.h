#pragma once

// One request over a blocking system socket, for benchmarks that time answers from threads of their own
// while the program under test runs as a process.

#include "tests/rawsocket.h"

#include <QByteArray>
#include <QElapsedTimer>

namespace bench {

struct Answer
{
    // 0 when no answer came.
    int status = 0;
    double seconds = 0;
    QByteArray raw;
};

// Sends request to 127.0.0.1:port and reads until the service closes; from source (an IPv4 address in
// host order, another of 127.0.0.0/8 say) when given.
inline Answer blockingRequest(quint16 port, const QByteArray &request, quint32 source = 0)
{
    Answer answer;
    QElapsedTimer clock;
    clock.start();
    const rawsocket::Handle socket = rawsocket::connectTo(port, false, source);
    if (socket == rawsocket::invalid)
        return answer;
    rawsocket::setReceiveTimeout(socket, 10000);
    if (rawsocket::send(socket, request.constData(), request.size()) == request.size()) {
        char buffer[4096];
        for (qint64 got; (got = rawsocket::receive(socket, buffer, sizeof buffer)) > 0;)
            answer.raw.append(buffer, got);
    }
    rawsocket::close(socket);
    answer.seconds = clock.nsecsElapsed() / 1e9;
    if (answer.raw.startsWith("HTTP/1.1 "))
        answer.status = answer.raw.mid(9, 3).toInt();
    return answer;
}

} // namespace bench
