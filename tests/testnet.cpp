#include "testnet.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace testutil {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
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
