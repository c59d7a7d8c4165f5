#include "rawsocket.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace rawsocket {

namespace {

#ifdef Q_OS_WIN
using Native = SOCKET;

bool startWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int closeNative(Native socket)
{
    return ::closesocket(socket);
}
#else
using Native = int;
constexpr int INVALID_SOCKET = -1;

bool startWinsock()
{
    return true;
}

int closeNative(Native socket)
{
    return ::close(socket);
}
#endif

Native native(Handle socket)
{
    return Native(socket);
}

bool makeNonBlocking(Native socket)
{
#ifdef Q_OS_WIN
    u_long on = 1;
    return ::ioctlsocket(socket, FIONBIO, &on) == 0;
#else
    return ::fcntl(socket, F_SETFL, O_NONBLOCK) == 0;
#endif
}

} // namespace

Handle connectTo(quint16 port, bool nonBlocking, quint32 source)
{
    if (!startWinsock())
        return invalid;
    const Native socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket == INVALID_SOCKET)
        return invalid;
    if (source != 0) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(source);
        if (::bind(socket, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
            closeNative(socket);
            return invalid;
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
        && (!nonBlocking || makeNonBlocking(socket)))
        return Handle(socket);
    closeNative(socket);
    return invalid;
}

qint64 send(Handle socket, const char *data, qint64 size)
{
#ifdef Q_OS_WIN
    const int sent = ::send(native(socket), data, int(size), 0);
    return sent == SOCKET_ERROR ? -1 : sent;
#else
    return ::send(native(socket), data, size_t(size), MSG_NOSIGNAL);
#endif
}

qint64 receive(Handle socket, char *data, qint64 size)
{
#ifdef Q_OS_WIN
    const int got = ::recv(native(socket), data, int(size), 0);
    return got == SOCKET_ERROR ? -1 : got;
#else
    return ::recv(native(socket), data, size_t(size), 0);
#endif
}

bool wouldBlock()
{
#ifdef Q_OS_WIN
    return WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

void setReceiveTimeout(Handle socket, int milliseconds)
{
#ifdef Q_OS_WIN
    const DWORD timeout = DWORD(milliseconds);
    ::setsockopt(native(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
#else
    const timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    ::setsockopt(native(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
#endif
}

void close(Handle socket)
{
    if (socket != invalid)
        closeNative(native(socket));
}

void resetAndClose(Handle socket)
{
    if (socket == invalid)
        return;
    const linger abrupt{1, 0};
    ::setsockopt(native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abrupt), sizeof abrupt);
    closeNative(native(socket));
}

} // namespace rawsocket
