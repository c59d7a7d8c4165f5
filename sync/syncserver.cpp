#include "sync/syncserver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

SyncServer::SyncServer(QObject *parent)
    : QObject(parent)
{
}

bool SyncServer::start(quint16 newPort)
{
    if (running)
        stop();
    listener = new QTcpServer(this);
    if (!listener->listen(QHostAddress::Any, newPort)) {
        Q_EMIT logMessage(QStringLiteral("同步服务启动失败: ") + listener->errorString());
        delete listener;
        listener = nullptr;
        return false;
    }
    connect(listener, &QTcpServer::newConnection, this, &SyncServer::onNewConnection);
    port = newPort;
    running = true;
    Q_EMIT logMessage(QStringLiteral("[同步服务] 已启动，端口 %1").arg(port));
    return true;
}

void SyncServer::stop()
{
    if (listener) {
        listener->close();
        listener->deleteLater();
        listener = nullptr;
    }
    running = false;
}

void SyncServer::onNewConnection()
{
}
