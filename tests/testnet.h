#pragma once

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace testutil {

// A port that is free right now on 127.0.0.1.
quint16 freePort();

// Whether something accepts a TCP connection on 127.0.0.1 at this port.
bool acceptsConnection(quint16 port);

} // namespace testutil
