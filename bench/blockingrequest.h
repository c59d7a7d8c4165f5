#pragma once

// One request over a blocking system socket, for benchmarks that time answers from threads of their own
// while the program under test runs as a process.

#include <QByteArray>
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return answer;
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    bool bound = true;
    if (source != 0) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(source);
        bound = ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bound && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            answer.raw.append(buffer, got);
    }
    ::close(fd);
    answer.seconds = clock.nsecsElapsed() / 1e9;
    if (answer.raw.startsWith("HTTP/1.1 "))
        answer.status = answer.raw.mid(9, 3).toInt();
    return answer;
}

} // namespace bench
