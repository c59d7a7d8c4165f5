#pragma once

#include <QHostAddress>
#include <QJsonObject>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

namespace testutil {

// A port that is free right now on 127.0.0.1, below the range that connecting sockets take theirs from.
quint16 freePort();

// Whether something accepts a TCP connection on 127.0.0.1 at this port.
bool acceptsConnection(quint16 port);

// A program folder of its own: a copy of the executable with this config.json beside it. The copy's
// path, or an empty text when either could not be written.
QString deployProgram(const QString &executable, const QString &folder, const QJsonObject &config);

} // namespace testutil
