#include "testnet.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRandomGenerator>

namespace testutil {

quint16 freePort()
{
    // Below the ports the system hands to connecting sockets (from 32768 on Linux, 49152 on Windows): the
    // many connections of a test running beside this one cannot take it before the program listens on it.
    for (int tries = 0; tries < 1000; ++tries) {
        const auto port = quint16(QRandomGenerator::global()->bounded(20000, 32000));
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, port))
            return port;
    }
    return 0;
}

bool acceptsConnection(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(2000);
}

QString deployProgram(const QString &executable, const QString &folder, const QJsonObject &config)
{
    const QString copy = QDir(folder).filePath(QFileInfo(executable).fileName());
    if (!QFile::copy(executable, copy))
        return QString();
    QFile file(QDir(folder).filePath(QStringLiteral("config.json")));
    const QByteArray bytes = QJsonDocument(config).toJson();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return copy;
}

} // namespace testutil
