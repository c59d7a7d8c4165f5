#pragma once

// A small asynchronous HTTP client for the reliability programs: one request per connection, as the
// sync service serves them, with the answer's status and JSON body handed to a callback.

#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QThread>

#include <functional>

class LoadClient
{
public:
    explicit LoadClient(quint16 port)
        : port(port)
    {
    }
    ~LoadClient() { delete socket; }

    std::function<void(int status, const QJsonObject &body, qint64 elapsedMs)> onAnswer;

    // Opens a connection and writes the whole request at once.
    void send(const QByteArray &request)
    {
        open();
        pending = request;
    }

    // Opens a connection without writing; writeRaw then sends bytes as the caller chooses.
    void open()
    {
        if (socket)
            socket->deleteLater();
        socket = new QTcpSocket;
        received.clear();
        clock.start();
        QObject::connect(socket, &QTcpSocket::connected, socket, [this] {
            if (!pending.isEmpty())
                socket->write(pending);
            pending.clear();
        });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this] { received += socket->readAll(); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [this] { finish(); });
        QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [this](QAbstractSocket::SocketError error) {
            if (error != QAbstractSocket::RemoteHostClosedError)
                finish();
        });
        socket->connectToHost(QHostAddress::LocalHost, port);
    }

    void writeRaw(const QByteArray &bytes)
    {
        if (socket->state() == QAbstractSocket::ConnectedState)
            socket->write(bytes);
        else
            pending += bytes;
    }

private:
    void finish()
    {
        if (finished == socket)
            return;
        finished = socket;
        received += socket->readAll();
        int status = 0;
        QJsonObject body;
        const int headEnd = received.indexOf("\r\n\r\n");
        if (received.startsWith("HTTP/1.1 ") && headEnd > 0) {
            status = received.mid(9, 3).toInt();
            body = QJsonDocument::fromJson(received.mid(headEnd + 4)).object();
        }
        // The callback may install the next request's callback, so it runs from a copy.
        const auto callback = onAnswer;
        if (callback)
            callback(status, body, clock.elapsed());
    }

    quint16 port;
    QTcpSocket *socket = nullptr;
    QTcpSocket *finished = nullptr;
    QByteArray pending;
    QByteArray received;
    QElapsedTimer clock;
};

// Polls /ping until the service answers or the time is up.
inline bool waitForPing(quint16 port, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(500)) {
            probe.write("GET /ping HTTP/1.1\r\n\r\n");
            QByteArray answer;
            while (probe.waitForReadyRead(1000))
                answer += probe.readAll();
            answer += probe.readAll();
            if (answer.startsWith("HTTP/1.1 200"))
                return true;
        }
        QThread::msleep(100);
    }
    return false;
}
