#pragma once

#include <QtGlobal>

// A plain system socket to the service on 127.0.0.1, for what QTcpSocket hides from a test: a reset told
// apart from a close, an abortive close, bytes sent without an event loop. The same calls on POSIX
// sockets and on Winsock.
namespace rawsocket {

// A socket, or invalid when none could be made or connected.
using Handle = qintptr;
constexpr Handle invalid = -1;

// Connects to 127.0.0.1:port, from source when given (another address of 127.0.0.0/8, in host order, so
// that the service sees another peer); a non-blocking socket answers "would block" instead of waiting.
Handle connectTo(quint16 port, bool nonBlocking = true, quint32 source = 0);
// Bytes sent or received; 0 from receive at the end of the stream; -1 on an error, or when a
// non-blocking socket would block (wouldBlock() tells which).
qint64 send(Handle socket, const char *data, qint64 size);
qint64 receive(Handle socket, char *data, qint64 size);
bool wouldBlock();
// A blocking socket gives up a receive after this long.
void setReceiveTimeout(Handle socket, int milliseconds);
void close(Handle socket);
// Closes with a reset instead of the orderly end of the stream.
void resetAndClose(Handle socket);

} // namespace rawsocket
