#include "testhttp.h"

#include <QTcpSocket>

namespace testutil {

const QByteArray continueLine = "HTTP/1.1 100 Continue\r\n\r\n";

void parseReply(Reply &reply)
{
    reply.continued = reply.raw.startsWith(continueLine);
    const QByteArray answer = reply.continued ? reply.raw.mid(continueLine.size()) : reply.raw;
    const qsizetype blank = answer.indexOf("\r\n\r\n");
    if (blank < 0)
        return;
    const QList<QByteArray> lines = answer.left(blank).split('\n');
    const QList<QByteArray> statusWords = lines.first().trimmed().split(' ');
    if (statusWords.size() >= 3) {
        reply.status = statusWords.at(1).toInt();
        reply.reason = lines.first().trimmed().mid(statusWords.at(0).size() + statusWords.at(1).size() + 2);
    }
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        if (colon > 0)
            reply.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    reply.body = answer.mid(blank + 4);
}

Reply exchange(quint16 port, const QList<QByteArray> &pieces, int gapMs, const QHostAddress &host,
               const QHostAddress &source)
{
    Reply reply;
    QTcpSocket socket;
    if (!source.isNull() && !socket.bind(source))
        return reply;
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.connectToHost(host, port);
    if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000))
        return reply;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        socket.write(pieces.at(i));
        socket.flush();
        if (gapMs > 0 && i + 1 < pieces.size()) {
            QTest::qWait(gapMs);
            if (socket.bytesAvailable() > 0 || socket.state() != QAbstractSocket::ConnectedState)
                reply.answeredEarly = true;
        }
    }
    reply.closedByServer = QTest::qWaitFor(
        [&] {
            reply.raw += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    reply.raw += socket.readAll();
    parseReply(reply);
    return reply;
}

Reply exchange(quint16 port, const QByteArray &request)
{
    return exchange(port, QList<QByteArray>{request});
}

QByteArray requestBytes(const QByteArray &method, const QByteArray &path, const QByteArray &body, const QByteArray &key)
{
    QByteArray head = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!key.isNull())
        head += "X-Sync-Key: " + key + "\r\n";
    if (!body.isNull())
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return head + "\r\n" + body;
}

void verifyFraming(const Reply &reply)
{
    QVERIFY2(reply.closedByServer, reply.raw.constData());
    QVERIFY(reply.raw.startsWith("HTTP/1.1 "));
    QCOMPARE(reply.headers.value("connection"), QByteArray("close"));
    QCOMPARE(reply.headers.value("access-control-allow-origin"), QByteArray("*"));
    QCOMPARE(reply.headers.value("content-type"), QByteArray("application/json; charset=utf-8"));
    QCOMPARE(reply.headers.value("content-length").toLongLong(), qint64(reply.body.size()));
    QVERIFY(QJsonDocument::fromJson(reply.body).isObject());
    const QByteArray expectedReason = reply.status == 200   ? "OK"
                                      : reply.status == 401 ? "Unauthorized"
                                      : reply.status == 404 ? "Not Found"
                                      : reply.status == 413 ? "Payload Too Large"
                                      : reply.status == 501 ? "Not Implemented"
                                      : reply.status == 503 ? "Service Unavailable"
                                                            : "Bad Request";
    QCOMPARE(reply.reason, expectedReason);
}

} // namespace testutil
