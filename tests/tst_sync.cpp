#include "storage/database.h"
#include "sync/httprequest.h"
#include "sync/syncserver.h"
#include "testutil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using http::ParseStatus;

Q_DECLARE_METATYPE(ParseStatus)

namespace {

const QString testKey = QStringLiteral("K7PQ2MZX9ABC");

// What came back on one connection.
struct Reply
{
    QByteArray raw;
    int status = 0;
    QByteArray reason;
    QMap<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;
    bool closedByServer = false;
    bool answeredEarly = false; // bytes arrived before the last piece was sent

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

void parseReply(Reply &reply)
{
    const qsizetype blank = reply.raw.indexOf("\r\n\r\n");
    if (blank < 0)
        return;
    const QList<QByteArray> lines = reply.raw.left(blank).split('\n');
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
    reply.body = reply.raw.mid(blank + 4);
}

// Sends the pieces with a pause between them, then collects everything until the server closes.
Reply exchange(quint16 port, const QList<QByteArray> &pieces, int gapMs = 0,
               const QHostAddress &host = QHostAddress(QHostAddress::LocalHost))
{
    Reply reply;
    QTcpSocket socket;
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

QByteArray requestBytes(const QByteArray &method, const QByteArray &path, const QByteArray &body = {},
                        const QByteArray &key = {})
{
    QByteArray head = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!key.isNull())
        head += "X-Sync-Key: " + key + "\r\n";
    if (!body.isNull())
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return head + "\r\n" + body;
}

QByteArray keyed(const QByteArray &method, const QByteArray &path, const QByteArray &body = {})
{
    return requestBytes(method, path, body, testKey.toUtf8());
}

// Every answer is one framed response that the server closes.
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
                                      : reply.status == 503 ? "Service Unavailable"
                                                            : "Bad Request";
    QCOMPARE(reply.reason, expectedReason);
}

QJsonObject pushDocument()
{
    const QJsonArray items{
        QJsonObject{{"id", "p-item-1"}, {"name", "螺丝 M3"}, {"quantity", 40}, {"updatedAt", "2026-01-02 10:00:00"}},
        QJsonObject{{"id", "p-item-2"}, {"name", "垫片"}, {"quantity", 7}, {"updatedAt", "2026-01-02 10:00:01"}},
    };
    const QJsonArray customers{QJsonObject{{"id", "p-cust-1"}, {"name", "王师傅"}, {"createdAt", "2026-01-01 09:00:00"}}};
    return {{"app", "plindor"}, {"protocol", 1}, {"deviceName", "手机"}, {"items", items}, {"customers", customers}};
}

} // namespace

class SyncTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    Database &db = Database::instance();
    SyncServer *server = nullptr;
    int caseNumber = 0;

    quint16 port() const { return server->port; }

private Q_SLOTS:
    void init()
    {
        QString error;
        const QString path = dir.filePath(QStringLiteral("case%1/data/plindor.db").arg(++caseNumber));
        QVERIFY2(db.open(path, &error), qPrintable(error));
        server = new SyncServer;
        server->key = testKey;
        QVERIFY(server->start(testutil::freePort()));
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
        db.close();
    }

    // Parser on plain bytes

    void parseRequest_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<ParseStatus>("status");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");

        const QByteArray bound = QByteArray::number(http::maxBodySize);
        const QByteArray beyond = QByteArray::number(http::maxBodySize + 1);
        QTest::newRow("with version") << QByteArray("GET /ping?a=%41 HTTP/1.1\r\n\r\n") << ParseStatus::Complete
                                      << "GET" << "/ping?a=%41" << QByteArray();
        QTest::newRow("without version") << QByteArray("GET /info\r\n\r\n") << ParseStatus::Complete << "GET"
                                         << "/info" << QByteArray();
        QTest::newRow("lower-case method") << QByteArray("post /import HTTP/1.1\r\n\r\n") << ParseStatus::Complete
                                           << "POST" << "/import" << QByteArray();
        QTest::newRow("two spaces") << QByteArray("GET  /ping HTTP/1.1\r\n\r\n") << ParseStatus::Complete << "GET"
                                    << "" << QByteArray();
        QTest::newRow("latin-1 path") << QByteArray("GET /\xe9t\xe9 HTTP/1.1\r\n\r\n") << ParseStatus::Complete
                                      << "GET" << QString::fromUtf8("/été") << QByteArray();
        QTest::newRow("one word") << QByteArray("GET\r\n\r\n") << ParseStatus::Malformed << "" << "" << QByteArray();
        QTest::newRow("empty request line") << QByteArray("\r\nHost: x\r\n\r\n") << ParseStatus::Malformed << ""
                                            << "" << QByteArray();
        QTest::newRow("no blank line") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << ParseStatus::NeedMore << ""
                                       << "" << QByteArray();
        QTest::newRow("body incomplete") << QByteArray("POST /import\r\nContent-Length: 5\r\n\r\nabcd")
                                         << ParseStatus::NeedMore << "POST" << "/import" << QByteArray();
        QTest::newRow("capital length") << QByteArray("POST /import\r\nCONTENT-LENGTH: 3\r\n\r\nabcdef")
                                        << ParseStatus::Complete << "POST" << "/import" << QByteArray("abc");
        QTest::newRow("lower length") << QByteArray("POST /import\r\ncontent-length:  2 \r\n\r\nabcdef")
                                      << ParseStatus::Complete << "POST" << "/import" << QByteArray("ab");
        QTest::newRow("no length") << QByteArray("POST /import\r\n\r\n{\"a\":1}") << ParseStatus::Complete << "POST"
                                   << "/import" << QByteArray();
        QTest::newRow("non-numeric length") << QByteArray("POST /import\r\nContent-Length: ten\r\n\r\nabc")
                                            << ParseStatus::Complete << "POST" << "/import" << QByteArray();
        QTest::newRow("negative length") << QByteArray("POST /import\r\nContent-Length: -20\r\n\r\n")
                                         << ParseStatus::Complete << "POST" << "/import" << QByteArray();
        QTest::newRow("later length wins") << QByteArray("PUT /x\r\nContent-Length: 9\r\ncontent-length: 1\r\n\r\nzq")
                                           << ParseStatus::Complete << "PUT" << "/x" << QByteArray("z");
        QTest::newRow("length at bound") << QByteArray("POST /import\r\nContent-Length: " + bound + "\r\n\r\n")
                                         << ParseStatus::NeedMore << "POST" << "/import" << QByteArray();
        QTest::newRow("length beyond bound") << QByteArray("POST /import\r\nContent-Length: " + beyond + "\r\n\r\n")
                                             << ParseStatus::BodyTooLarge << "POST" << "/import" << QByteArray();
        QTest::newRow("length beyond 64 bits")
            << QByteArray("POST /import\r\nContent-Length: 99999999999999999999999\r\n\r\n")
            << ParseStatus::BodyTooLarge << "POST" << "/import" << QByteArray();
        QTest::newRow("huge length then sane") << QByteArray("POST /i\r\nContent-Length: " + beyond
                                                             + "\r\nContent-Length: 1\r\n\r\nx")
                                               << ParseStatus::Complete << "POST" << "/i" << QByteArray("x");

        const QByteArray filler = "X-Pad: " + QByteArray(http::maxHeadSize, 'a') + "\r\n";
        QTest::newRow("head never ends") << QByteArray("GET / HTTP/1.1\r\n" + filler) << ParseStatus::HeadTooLarge
                                         << "" << "" << QByteArray();
        QTest::newRow("blank line too late") << QByteArray("GET / HTTP/1.1\r\n" + filler + "\r\n")
                                             << ParseStatus::HeadTooLarge << "" << "" << QByteArray();
        const QByteArray fits = "GET / HTTP/1.1\r\nX-Pad: ";
        const QByteArray exact = fits + QByteArray(http::maxHeadSize - fits.size() - 4, 'a') + "\r\n\r\n";
        QTest::newRow("head exactly at bound") << exact << ParseStatus::Complete << "GET" << "/" << QByteArray();
    }

    void parseRequest()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(ParseStatus, status);
        HttpRequest request;
        QCOMPARE(http::parseRequest(buffer, request), status);
        if (status == ParseStatus::Complete || status == ParseStatus::NeedMore) {
            QFETCH(QString, method);
            QFETCH(QString, path);
            QCOMPARE(request.method, method);
            QCOMPARE(request.path, path);
        }
        if (status == ParseStatus::Complete) {
            QFETCH(QByteArray, body);
            QCOMPARE(request.body, body);
        }
    }

    void parseHeaders()
    {
        const QByteArray buffer = "GET / HTTP/1.1\r\n  X-Sync-KEY :  密钥 \r\nno colon here\r\nHost:a:b\r\n"
                                  "host: second\r\nEmpty:\r\n\r\n";
        HttpRequest request;
        QCOMPARE(http::parseRequest(buffer, request), ParseStatus::Complete);
        const QJsonObject expected{{"x-sync-key", QStringLiteral("密钥")}, {"host", "second"}, {"empty", ""}};
        QCOMPARE(request.headers, expected);
    }

    // Every proper prefix of a request waits for more; only the whole of it completes.
    void everyPrefixNeedsMore()
    {
        const QByteArray full = "POST /import HTTP/1.1\r\nContent-Length: 7\r\n\r\n{\"a\":1}";
        HttpRequest request;
        for (qsizetype n = 0; n < full.size(); ++n)
            QVERIFY2(http::parseRequest(full.left(n), request) == ParseStatus::NeedMore, full.left(n).constData());
        QCOMPARE(http::parseRequest(full, request), ParseStatus::Complete);
        QCOMPARE(request.body, QByteArray("{\"a\":1}"));
    }

    // Listener

    void startOnBusyPort()
    {
        SyncServer second;
        QSignalSpy log(&second, &SyncServer::logMessage);
        QVERIFY(!second.start(port()));
        QVERIFY(!second.running);
        QVERIFY(!second.listener);
        QCOMPARE(second.port, quint16(9527));
        QCOMPARE(log.size(), 1);
        QVERIFY(log.first().first().toString().startsWith(QStringLiteral("同步服务启动失败: ")));
    }

    void startLogsAndRestarts()
    {
        SyncServer other;
        QSignalSpy log(&other, &SyncServer::logMessage);
        const quint16 p = testutil::freePort();
        QVERIFY(other.start(p));
        QVERIFY(other.start(p)); // the old listener is closed before the new one listens
        QVERIFY(other.running);
        QCOMPARE(other.port, p);
        QCOMPARE(log.size(), 2);
        QCOMPARE(log.last().first().toString(), QStringLiteral("[同步服务] 已启动，端口 %1").arg(p));
        other.stop();
        QVERIFY(!other.running);
        QVERIFY(!other.listener);
        QCOMPARE(log.size(), 2);
    }

    // Framing over TCP

    void requestInManyPieces()
    {
        QSignalSpy activity(server, &SyncServer::activity);
        const QByteArray body = QJsonDocument(pushDocument()).toJson(QJsonDocument::Compact);
        const QByteArray request = keyed("POST", "/import", body);
        const qsizetype blank = request.indexOf("\r\n\r\n");
        // Cut inside the blank line, and the body into small pieces.
        QList<QByteArray> pieces{request.left(blank + 2), request.mid(blank + 2, 2)};
        for (qsizetype at = blank + 4; at < request.size(); at += 37)
            pieces << request.mid(at, 37);
        const Reply reply = exchange(port(), pieces, 15);
        verifyFraming(reply);
        QVERIFY(!reply.answeredEarly);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json().value("ok"), QJsonValue(true));
        QCOMPARE(activity.size(), 1);
    }

    void framing_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QJsonObject>("expected"); // keys of the answer that must match

        const QByteArray key = "X-Sync-Key: " + testKey.toUtf8() + "\r\n";
        const QByteArray body = QJsonDocument(pushDocument()).toJson(QJsonDocument::Compact);
        const QByteArray length = QByteArray::number(body.size());
        const QJsonObject merged{{"ok", true}, {"message", QStringLiteral("主库已合并")}};
        const QJsonObject unusable{{"ok", false}, {"error", QStringLiteral("数据格式无法解析")}};

        QTest::newRow("capital Content-Length")
            << QByteArray("POST /import HTTP/1.1\r\n" + key + "CONTENT-LENGTH: " + length + "\r\n\r\n" + body) << 200
            << merged;
        QTest::newRow("lower content-length")
            << QByteArray("POST /import HTTP/1.1\r\n" + key + "content-length: " + length + "\r\n\r\n" + body) << 200
            << merged;
        QTest::newRow("lower-case method")
            << QByteArray("put /import HTTP/1.1\r\n" + key + "Content-Length: " + length + "\r\n\r\n" + body) << 200
            << merged;
        QTest::newRow("no Content-Length") << QByteArray("POST /import HTTP/1.1\r\n" + key + "\r\n" + body) << 200
                                           << unusable;
        QTest::newRow("non-numeric length")
            << QByteArray("POST /import HTTP/1.1\r\n" + key + "Content-Length: many\r\n\r\n" + body) << 200
            << unusable;
        QTest::newRow("negative length")
            << QByteArray("POST /import HTTP/1.1\r\n" + key + "Content-Length: -5\r\n\r\n") << 200 << unusable;
        QTest::newRow("no version") << QByteArray("GET /ping\r\n\r\n") << 200 << QJsonObject{{"ok", true}};
        QTest::newRow("two spaces") << QByteArray("GET  /ping HTTP/1.1\r\n" + key + "\r\n") << 404
                                    << QJsonObject{{"ok", false}, {"error", "not found"}};
        QTest::newRow("one word") << QByteArray("GET\r\n\r\n") << 400
                                  << QJsonObject{{"ok", false}, {"error", QStringLiteral("请求格式错误")}};
    }

    void framing()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QJsonObject, expected);
        const Reply reply = exchange(port(), request);
        verifyFraming(reply);
        QCOMPARE(reply.status, status);
        const QJsonObject answer = reply.json();
        for (auto it = expected.begin(); it != expected.end(); ++it)
            QCOMPARE(answer.value(it.key()), it.value());
    }

    void secondRequestNeverRead()
    {
        QSignalSpy activity(server, &SyncServer::activity);
        const Reply reply = exchange(port(), keyed("GET", "/export") + keyed("GET", "/export"));
        verifyFraming(reply);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.raw.count("HTTP/1.1"), 1);
        QCOMPARE(activity.size(), 1);
    }

    // Key check and routing

    void keyTable_data()
    {
        QTest::addColumn<QString>("serverKey");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");

        const QByteArray k = testKey.toUtf8();
        QTest::newRow("no key set, none given") << QString() << requestBytes("GET", "/info") << 200;
        QTest::newRow("no key set, wrong one given") << QString() << requestBytes("GET", "/export", {}, "x") << 200;
        QTest::newRow("ping with wrong key") << testKey << requestBytes("GET", "/ping", {}, "WRONG") << 200;
        QTest::newRow("no key") << testKey << requestBytes("GET", "/info") << 401;
        QTest::newRow("wrong header key") << testKey << requestBytes("GET", "/info", {}, "WRONG") << 401;
        QTest::newRow("wrong key, unknown path") << testKey << requestBytes("GET", "/nothing", {}, "WRONG") << 401;
        QTest::newRow("right key, unknown path") << testKey << requestBytes("GET", "/nothing", {}, k) << 404;
        QTest::newRow("header trimmed") << testKey << requestBytes("GET", "/info", {}, "  " + k + "\t") << 200;
        QTest::newRow("key prefix") << testKey << requestBytes("GET", "/info", {}, k.left(11)) << 401;
        QTest::newRow("key longer") << testKey << requestBytes("GET", "/info", {}, k + "X") << 401;
        QTest::newRow("key other case") << testKey << requestBytes("GET", "/info", {}, k.toLower()) << 401;
        QTest::newRow("query key") << testKey << requestBytes("GET", "/info?key=" + k + "&x=1") << 200;
        QTest::newRow("query key untrimmed") << testKey << requestBytes("GET", "/info?key=%20" + k) << 401;
        QTest::newRow("xkey matches") << testKey << requestBytes("GET", "/export?xkey=" + k) << 200;
        QTest::newRow("first key= wins") << testKey << requestBytes("GET", "/info?key=NO&key=" + k) << 401;
        QTest::newRow("header wins over query") << testKey << requestBytes("GET", "/info?key=" + k, {}, "WRONG")
                                                << 401;
        QTest::newRow("empty header, query used") << testKey
                                                  << QByteArray("GET /info?key=" + k + " HTTP/1.1\r\nX-Sync-Key:\r\n\r\n")
                                                  << 200;
        const QString wide = QStringLiteral("钥A+B/C");
        QTest::newRow("percent escapes") << wide << requestBytes("GET", "/info?key=%E9%92%A5A+B%2FC") << 200;
        QTest::newRow("plus stays plus") << wide << requestBytes("GET", "/info?key=%E9%92%A5A%20B%2FC") << 401;
        QTest::newRow("header in UTF-8") << wide << requestBytes("GET", "/info", {}, wide.toUtf8()) << 200;
    }

    void keyTable()
    {
        QFETCH(QString, serverKey);
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        server->key = serverKey;
        QSignalSpy activity(server, &SyncServer::activity);
        const Reply reply = exchange(port(), request);
        verifyFraming(reply);
        QCOMPARE(reply.status, status);
        const QJsonArray log = db.recentSyncLog(10);
        if (status == 401) {
            const QJsonObject expected{{"ok", false}, {"error", QStringLiteral("密钥不正确")}, {"needKey", 1}};
            QCOMPARE(reply.json(), expected);
            QCOMPARE(activity.size(), 1);
            QCOMPARE(activity.first(), (QVariantList{"127.0.0.1", QStringLiteral("拒绝"), QStringLiteral("密钥错误")}));
            QCOMPARE(log.size(), 1);
            QCOMPARE(log.first()["peer"].toString(), QStringLiteral("127.0.0.1"));
            QCOMPARE(log.first()["action"].toString(), QStringLiteral("拒绝"));
            QCOMPARE(log.first()["detail"].toString(), QStringLiteral("密钥错误，拒绝访问"));
        } else if (!request.contains("/export")) {
            QCOMPARE(activity.size(), 0);
            QCOMPARE(log.size(), 0);
        }
    }

    void ping_data()
    {
        QTest::addColumn<QString>("serverKey");
        QTest::addColumn<int>("needKey");
        QTest::newRow("key set") << testKey << 1;
        QTest::newRow("no key") << QString() << 0;
    }

    void ping()
    {
        QFETCH(QString, serverKey);
        QFETCH(int, needKey);
        server->key = serverKey;
        server->deviceName = QStringLiteral("仓库电脑");
        const Reply reply = exchange(port(), requestBytes("POST", "/ping/anything", "ignored"));
        verifyFraming(reply);
        QCOMPARE(reply.status, 200);
        const QJsonObject expected{{"ok", true}, {"app", "plindor"}, {"protocol", 1}, {"needKey", needKey},
                                   {"deviceName", QStringLiteral("仓库电脑")}};
        QCOMPARE(reply.json(), expected);
        QVERIFY(reply.body.contains("\"needKey\":" + QByteArray::number(needKey)));
    }

    void info()
    {
        QVERIFY(!db.upsert("items", {{"id", "i1"}, {"name", "轴承"}}, nullptr).isEmpty());
        server->deviceName = QStringLiteral("仓库电脑");
        QSignalSpy activity(server, &SyncServer::activity);
        const Reply reply = exchange(port(), keyed("DELETE", "/info"));
        verifyFraming(reply);
        QCOMPARE(reply.status, 200);
        const QJsonObject answer = reply.json();
        QCOMPARE(answer.keys(),
                 (QStringList{"app", "counts", "deviceName", "exportedAt", "mode", "platform", "protocol"}));
        QCOMPARE(answer["deviceName"].toString(), QStringLiteral("仓库电脑"));
        QCOMPARE(answer["mode"].toString(), QStringLiteral("master"));
        QCOMPARE(answer["platform"].toString(), QStringLiteral("qt"));
        QCOMPARE(answer["counts"].toObject(), db.counts());
        QCOMPARE(answer["counts"]["items"].toInt(), 1);
        QVERIFY(QDateTime::fromString(answer["exportedAt"].toString(), "yyyy-MM-dd HH:mm:ss").isValid());
        QCOMPARE(activity.size(), 0);
    }

    void routing_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("pulls");
        QTest::newRow("exact") << QByteArray("/export") << true;
        QTest::newRow("query") << QByteArray("/export?since=1") << true;
        QTest::newRow("more letters") << QByteArray("/exports") << true;
        QTest::newRow("capital") << QByteArray("/Export") << false;
        QTest::newRow("not at start") << QByteArray("/x/export") << false;
    }

    void routing()
    {
        QFETCH(QByteArray, path);
        QFETCH(bool, pulls);
        QSignalSpy activity(server, &SyncServer::activity);
        const Reply reply = exchange(port(), keyed("GET", path));
        verifyFraming(reply);
        QCOMPARE(reply.status, pulls ? 200 : 404);
        QCOMPARE(activity.size(), pulls ? 1 : 0);
        if (!pulls)
            QCOMPARE(reply.json(), (QJsonObject{{"ok", false}, {"error", "not found"}}));
    }

    // Endpoints with the database

    void exportPullsSnapshot()
    {
        QVERIFY(!db.upsert("items", {{"id", "i1"}, {"name", "轴承"}}, nullptr).isEmpty());
        QVERIFY(!db.upsert("items", {{"id", "gone"}, {"name", "旧"}}, nullptr).isEmpty());
        QVERIFY(db.softDelete("items", "gone", nullptr));
        QSignalSpy activity(server, &SyncServer::activity);
        const Reply reply = exchange(port(), keyed("GET", "/export"));
        verifyFraming(reply);
        QCOMPARE(reply.status, 200);
        const QJsonObject document = reply.json();
        QCOMPARE(document["app"].toString(), QStringLiteral("plindor"));
        QVERIFY(!document.contains("ok"));
        const QJsonArray items = document["items"].toArray();
        QCOMPARE(items.size(), 1);
        QCOMPARE(items.first()["name"].toString(), QStringLiteral("轴承"));
        for (const char *table : {"transactions", "categories", "locations", "customers", "relations"})
            QVERIFY(document[table].isArray());
        const QString summary = QStringLiteral("手机拉走了主库数据");
        QCOMPARE(activity.size(), 1);
        QCOMPARE(activity.first(), (QVariantList{"127.0.0.1", QStringLiteral("拉取"), summary}));
        const QJsonArray log = db.recentSyncLog(10);
        QCOMPARE(log.size(), 1);
        QCOMPARE(log.first()["action"].toString(), QStringLiteral("拉取"));
        QCOMPARE(log.first()["detail"].toString(), summary);
        QVERIFY(db.listVersions(10).isEmpty());

        // The same document as one built in-process, but for its time.
        QJsonObject built = db.snapshotDocument();
        QJsonObject pulled = document;
        built.remove("exportedAt");
        pulled.remove("exportedAt");
        QCOMPARE(pulled, built);
    }

    void importRefused_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QJsonObject>("expected");
        const QByteArray body = QJsonDocument(pushDocument()).toJson(QJsonDocument::Compact);
        const QJsonObject unusable{{"ok", false}, {"error", QStringLiteral("数据格式无法解析")}};
        QTest::newRow("GET") << keyed("GET", "/import", body) << 404
                             << QJsonObject{{"ok", false}, {"error", "not found"}};
        QTest::newRow("array") << keyed("POST", "/import", "[{\"items\":[]}]") << 200 << unusable;
        QTest::newRow("empty body") << keyed("POST", "/import", "") << 200 << unusable;
        QTest::newRow("broken JSON") << keyed("PUT", "/import", body.left(body.size() - 1)) << 200 << unusable;
        // Faults after the first rows: the body is judged whole before any row is written.
        QTest::newRow("garbage after the object") << keyed("POST", "/import", body + " x") << 200 << unusable;
        QByteArray lateFault = body;
        lateFault.insert(lateFault.lastIndexOf('}'), ",\"relations\":[{\"id\":\"r1\",}]");
        QTest::newRow("broken last element") << keyed("POST", "/import", lateFault) << 200 << unusable;
    }

    void importRefused()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QJsonObject, expected);
        QSignalSpy activity(server, &SyncServer::activity);
        const Reply reply = exchange(port(), request);
        verifyFraming(reply);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.json(), expected);
        QCOMPARE(activity.size(), 0);
        QCOMPARE(db.counts()["items"].toInt(), 0);
        QVERIFY(db.listVersions(10).isEmpty());
        QVERIFY(db.recentSyncLog(10).isEmpty());
    }

    void importMerges_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::newRow("POST") << QByteArray("POST");
        QTest::newRow("PUT") << QByteArray("PUT");
    }

    void importMerges()
    {
        QFETCH(QByteArray, method);
        QVERIFY(!db.upsert("customers", {{"id", "c0"}, {"name", "老客户"}}, nullptr).isEmpty());
        QSignalSpy activity(server, &SyncServer::activity);
        const QByteArray body = QJsonDocument(pushDocument()).toJson(QJsonDocument::Compact);
        const Reply reply = exchange(port(), keyed(method, "/import?from=phone", body));
        verifyFraming(reply);
        QCOMPARE(reply.status, 200);

        const QStringList details{QStringLiteral("物品 2 新增/更新"), QStringLiteral("分类 0、存放处 0、客户 1")};
        const QJsonObject answer = reply.json();
        QCOMPARE(answer["ok"], QJsonValue(true));
        QCOMPARE(answer["message"].toString(), QStringLiteral("主库已合并"));
        QCOMPARE(answer["details"].toArray(), QJsonArray::fromStringList(details));
        QCOMPARE(answer["merged"].toObject(),
                 (QJsonObject{{"items", 2}, {"transactions", 0}, {"categories", 0}, {"locations", 0},
                              {"customers", 1}, {"relations", 0}}));
        QCOMPARE(answer["counts"]["items"].toInt(), 2);
        QCOMPARE(answer["counts"]["customers"].toInt(), 2);
        QCOMPARE(answer["counts"].toObject(), db.counts());

        const QList<VersionInfo> versions = db.listVersions(10);
        QCOMPARE(versions.size(), 1);
        QCOMPARE(versions.first().reason, QStringLiteral("收到 127.0.0.1 推送前"));
        QCOMPARE(versions.first().source, QStringLiteral("127.0.0.1"));
        QCOMPARE(versions.first().counts["customers"].toInt(), 1);
        QCOMPARE(versions.first().counts["items"].toInt(), 0);

        const QString summary = details.join(QStringLiteral(" / "));
        const QJsonArray log = db.recentSyncLog(10);
        QCOMPARE(log.size(), 1);
        QCOMPARE(log.first()["peer"].toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(log.first()["action"].toString(), QStringLiteral("推送"));
        QCOMPARE(log.first()["detail"].toString(), summary);
        QCOMPARE(activity.size(), 1);
        QCOMPARE(activity.first(), (QVariantList{"127.0.0.1", QStringLiteral("推送"), summary}));
        QCOMPARE(db.rows("items").size(), 2);
    }

    void requestsDuringARestoreAreRefused()
    {
        QVERIFY(!db.upsert("items", {{"id", "in-backup"}}, nullptr).isEmpty());
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());
        QVERIFY(!db.upsert("items", {{"id", "set-aside"}}, nullptr).isEmpty());
        const QByteArray body = QJsonDocument(pushDocument()).toJson(QJsonDocument::Compact);
        const QString reason = QStringLiteral("主库正在从备份恢复，请稍后再试");

        // The requests arrive while the database file is being replaced.
        QList<Reply> during;
        const auto duringTheCopy = [&](const QString &, qint64, qint64) {
            if (!during.isEmpty())
                return;
            during << exchange(port(), keyed("POST", "/import", body)) << exchange(port(), keyed("GET", "/export"))
                   << exchange(port(), requestBytes("GET", "/ping"));
        };
        server->refusal = reason;
        QString error;
        QVERIFY2(db.restoreFrom(backup, nullptr, &error, duringTheCopy), qPrintable(error));
        server->refusal.clear();

        QCOMPARE(during.size(), 3);
        for (const Reply &refused : {during.at(0), during.at(1)}) {
            verifyFraming(refused);
            QCOMPARE(refused.status, 503);
            QCOMPARE(refused.json(), (QJsonObject{{"ok", false}, {"error", reason}}));
        }
        QCOMPARE(during.at(2).status, 200);
        QCOMPARE(during.at(2).json().value("ok"), QJsonValue(true));
        QCOMPARE(db.rows("items").size(), 1);
        QCOMPARE(db.recentSyncLog(10).size(), 0);
        QCOMPARE(db.listVersions(10).size(), 0);

        // The phone tries again once the restore is done.
        const Reply retry = exchange(port(), keyed("POST", "/import", body));
        const QJsonObject answer = retry.json();
        QCOMPARE(retry.status, 200);
        QCOMPARE(answer["ok"], QJsonValue(true));
        QCOMPARE(answer["counts"]["items"].toInt(), 3);
        const QList<VersionInfo> versions = db.listVersions(10);
        QCOMPARE(versions.size(), 1);
        QCOMPARE(versions.first().counts.value("items").toInt(), 1);
    }

    void ipv6PeerKeepsItsAddress()
    {
        if (!QNetworkInterface::allAddresses().contains(QHostAddress(QHostAddress::LocalHostIPv6)))
            QSKIP("no IPv6 loopback");
        QSignalSpy activity(server, &SyncServer::activity);
        const Reply reply = exchange(port(), {requestBytes("GET", "/info", {}, "WRONG")}, 0,
                                     QHostAddress(QHostAddress::LocalHostIPv6));
        verifyFraming(reply);
        QCOMPARE(reply.status, 401);
        QCOMPARE(activity.size(), 1);
        QCOMPARE(activity.first().first().toString(), QStringLiteral("::1"));
    }

    // Bounds

    void oversizedRequestsRefused_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        QTest::newRow("declared body") << QByteArray("POST /import HTTP/1.1\r\nContent-Length: "
                                                     + QByteArray::number(http::maxBodySize + 1) + "\r\n\r\n")
                                       << 413 << QStringLiteral("请求数据过大");
        QTest::newRow("64-bit overflow") << QByteArray("POST /import HTTP/1.1\r\nContent-Length: 123456789012345678901\r\n\r\n")
                                         << 413 << QStringLiteral("请求数据过大");
        QTest::newRow("endless head") << QByteArray("GET /ping HTTP/1.1\r\nX-Pad: " + QByteArray(70000, 'a'))
                                      << 400 << QStringLiteral("请求头过大");
    }

    // The answer comes as soon as the head shows the request is too large: the body is never awaited.
    void oversizedRequestsRefused()
    {
        QFETCH(QByteArray, head);
        QFETCH(int, status);
        QFETCH(QString, error);
        QSignalSpy activity(server, &SyncServer::activity);
        const Reply reply = exchange(port(), head);
        verifyFraming(reply);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.json(), (QJsonObject{{"ok", false}, {"error", error}}));
        QCOMPARE(activity.size(), 0);
        QVERIFY(db.recentSyncLog(10).isEmpty());
    }

    void stalledConnectionClosed_data()
    {
        QTest::addColumn<QByteArray>("partial");
        QTest::newRow("in the head") << QByteArray("POST /import HTTP/1.1\r\nContent-Le");
        QTest::newRow("in the body") << QByteArray(keyed("POST", "/import", "{\"items\":[]}").chopped(3));
    }

    void stalledConnectionClosed()
    {
        QFETCH(QByteArray, partial);
        server->idleTimeoutMs = 1000;

        QTcpSocket stalled;
        stalled.connectToHost(QHostAddress::LocalHost, port());
        QTRY_COMPARE(stalled.state(), QAbstractSocket::ConnectedState);
        stalled.write(partial);
        stalled.flush();
        QTRY_COMPARE(server->listener->findChildren<QTcpSocket *>().size(), 1);

        // The service answers others while the stalled one waits.
        const Reply ping = exchange(port(), requestBytes("GET", "/ping"));
        QCOMPARE(ping.status, 200);
        QCOMPARE(stalled.state(), QAbstractSocket::ConnectedState);

        QTRY_COMPARE_WITH_TIMEOUT(stalled.state(), QAbstractSocket::UnconnectedState, 3000);
        QCOMPARE(stalled.readAll(), QByteArray());
        // The connection and its buffer are gone on the server side.
        QTRY_VERIFY(server->listener->findChildren<QTcpSocket *>().isEmpty());
    }

    // Bytes keep the connection alive: a slow sender is not cut off while it makes progress.
    void slowSenderNotCutOff()
    {
        server->idleTimeoutMs = 600;
        const QByteArray request = keyed("POST", "/import", QJsonDocument(pushDocument()).toJson());
        QList<QByteArray> pieces;
        const qsizetype step = request.size() / 8 + 1;
        for (qsizetype at = 0; at < request.size(); at += step)
            pieces << request.mid(at, step);
        const Reply reply = exchange(port(), pieces, 120); // the whole takes longer than the timeout
        verifyFraming(reply);
        QCOMPARE(reply.json()["ok"], QJsonValue(true));
    }

    void stopWhileCollecting()
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port());
        QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
        client.write("GET /ping HTTP/1.1\r\n");
        QTRY_COMPARE(server->listener->findChildren<QTcpSocket *>().size(), 1);
        server->stop();
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(!server->running);
    }

    // Hostile bytes: each gets a clear answer or a clean refusal, the service keeps serving, and the
    // database changes only for a valid push.
    void hostileInput_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("validPush");

        const QByteArray deep(100000, '[');
        const QString huge(10 * 1024 * 1024, QLatin1Char('x'));
        const QByteArray bigRow =
            QJsonDocument(QJsonObject{{"items", QJsonArray{QJsonObject{{"id", "big"}, {"name", huge}}}}}).toJson(QJsonDocument::Compact);
        const QByteArray sqlNames = QJsonDocument(QJsonObject{
            {"items; DROP TABLE items", QJsonArray{QJsonObject{{"id", "evil"}}}},
            {"items", QJsonArray{QJsonObject{{"id", "x'); DROP TABLE items;--"}, {"name", "'; DELETE FROM versions;--"}}}},
        }).toJson(QJsonDocument::Compact);
        const QString unusable = QStringLiteral("数据格式无法解析");
        const QString wrongKey = QStringLiteral("密钥不正确");

        QTest::newRow("1 MiB head") << QByteArray("GET /ping HTTP/1.1\r\nX-Pad: " + QByteArray(1 << 20, 'a') + "\r\n\r\n")
                                    << 400 << QStringLiteral("请求头过大") << false;
        QTest::newRow("length 2^31") << QByteArray("POST /import HTTP/1.1\r\nContent-Length: 2147483648\r\n\r\n")
                                     << 413 << QStringLiteral("请求数据过大") << false;
        QTest::newRow("length 10^12") << QByteArray("POST /import HTTP/1.1\r\nContent-Length: 1000000000000\r\n\r\n")
                                      << 413 << QStringLiteral("请求数据过大") << false;
        QTest::newRow("NUL in key header") << requestBytes("GET", "/export", {}, QByteArray("K7PQ\0ZX9ABC", 12))
                                           << 401 << wrongKey << false;
        QTest::newRow("NUL in path") << keyed("GET", QByteArray("/ex\0port", 8)) << 404 << QStringLiteral("not found")
                                     << false;
        QTest::newRow("invalid UTF-8 key header") << requestBytes("GET", "/export", {}, "\xff\xfe\xc3") << 401 << wrongKey
                                                  << false;
        QTest::newRow("NUL and invalid UTF-8 body") << keyed("POST", "/import", QByteArray("{\"items\":\0\xff}", 12))
                                                    << 200 << unusable << false;
        QTest::newRow("invalid UTF-8 in a string") << keyed("POST", "/import", "{\"items\":[{\"id\":\"\xff\xfe\"}]}")
                                                   << 200 << unusable << false;
        QTest::newRow("nested 100,000 deep") << keyed("POST", "/import", "{\"items\":" + deep) << 200 << unusable
                                             << false;
        QTest::newRow("percent escape to invalid UTF-8")
            << requestBytes("GET", "/export?key=%ff%fe%00") << 401 << wrongKey << false;
        QTest::newRow("10 MiB string") << keyed("POST", "/import", bigRow) << 200 << QString() << true;
        QTest::newRow("SQL in table names and ids") << keyed("POST", "/import", sqlNames) << 200 << QString() << true;
    }

    void hostileInput()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QString, error);
        QFETCH(bool, validPush);
        QVERIFY(!db.upsert("items", {{"id", "kept"}, {"name", "原有"}}, nullptr).isEmpty());
        const QJsonObject before = db.snapshotDocument();

        const Reply reply = exchange(port(), request);
        QCOMPARE(reply.status, status);
        if (!error.isEmpty())
            QCOMPARE(reply.json()["error"].toString(), error);

        QCOMPARE(exchange(port(), requestBytes("GET", "/ping")).status, 200);
        QSqlQuery integrity(QSqlDatabase::database(QStringLiteral("plindor")));
        QVERIFY(integrity.exec(QStringLiteral("PRAGMA integrity_check")) && integrity.next());
        QCOMPARE(integrity.value(0).toString(), QStringLiteral("ok"));

        QJsonObject after = db.snapshotDocument();
        if (!validPush) {
            after["exportedAt"] = before["exportedAt"];
            QCOMPARE(after, before);
            QVERIFY(db.listVersions(10).isEmpty());
            return;
        }
        QCOMPARE(reply.json()["ok"], QJsonValue(true));
        QCOMPARE(db.listVersions(10).size(), 1);
        QStringList ids;
        for (const QJsonValue &row : after["items"].toArray())
            ids << row["id"].toString();
        ids.sort();
        if (QTest::currentDataTag() == QLatin1String("10 MiB string")) {
            QCOMPARE(ids, (QStringList{"big", "kept"}));
            for (const QJsonValue &row : after["items"].toArray()) {
                if (row["id"] == "big")
                    QCOMPARE(row["name"].toString().size(), 10 * 1024 * 1024);
            }
        } else {
            QCOMPARE(ids, (QStringList{"kept", "x'); DROP TABLE items;--"}));
        }
    }
};

QTEST_MAIN(SyncTest)
#include "tst_sync.moc"
