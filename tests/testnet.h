#pragma once

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace testutil {

// A port that is free right now on 127.0.0.1.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Whether something accepts a TCP connection on 127.0.0.1 at this port.
inline bool acceptsConnection(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(2000);
}

} // namespace testutil
