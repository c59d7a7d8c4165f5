#include "rawsocket.h"
#include "storage/clock.h"
#include "storage/database.h"
#include "sync/httprequest.h"
#include "sync/refusaltally.h"
#include "sync/syncconnection.h"
#include "sync/syncserver.h"
#include "testhttp.h"
#include "testmain.h"
#include "teststorage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <optional>
#include <tuple>

using http::ParseStatus;
using testutil::continueLine;
using testutil::exchange;
using testutil::parseReply;
using testutil::Reply;
using testutil::requestBytes;
using testutil::verifyFraming;

Q_DECLARE_METATYPE(ParseStatus)

namespace {

const QString testKey = QStringLiteral("K7PQ2MZX9ABC");

// Reads what has come on a plain socket; true once the service has closed or reset the connection.
bool endedByService(rawsocket::Handle fd, QByteArray &received)
{
    char chunk[4096];
    for (;;) {
        const qint64 n = rawsocket::receive(fd, chunk, sizeof chunk);
        if (n > 0) {
            received.append(chunk, n);
            continue;
        }
        return n == 0 || !rawsocket::wouldBlock();
    }
}

// A client on a plain system socket, so that a reset is told apart from a close. It sends the head; when
// told to, it waits up to two seconds for leave to go on, and sends no body if a final answer comes first.
// Then it sends the whole body before reading, as libraries that upload first do, and reads to the end.
Reply converse(quint16 port, const QByteArray &head, const QByteArray &body, bool waitForContinue)
{
    Reply reply;
    const rawsocket::Handle fd = rawsocket::connectTo(port);
    if (fd == rawsocket::invalid)
        return reply;
    // Reads what is there; true once the stream has ended, by a close or by a reset.
    auto receive = [&] {
        char chunk[65536];
        for (;;) {
            const qint64 n = rawsocket::receive(fd, chunk, sizeof chunk);
            if (n > 0) {
                reply.raw.append(chunk, n);
                continue;
            }
            if (n < 0 && rawsocket::wouldBlock())
                return false;
            reply.reset = n < 0;
            reply.closedByServer = n == 0;
            return true;
        }
    };
    auto sendAll = [&](const QByteArray &bytes) {
        QElapsedTimer clock;
        clock.start();
        for (qsizetype at = 0; at < bytes.size() && clock.elapsed() < 10000;) {
            const qint64 n = rawsocket::send(fd, bytes.constData() + at, bytes.size() - at);
            if (n > 0) {
                at += n;
            } else if (rawsocket::wouldBlock()) {
                QTest::qWait(1);
            } else {
                reply.reset = true;
                return;
            }
        }
    };
    auto until = [&](const std::function<bool()> &done, int ms) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < ms)
            QTest::qWait(1);
    };

    sendAll(head);
    bool ended = false;
    if (waitForContinue) {
        until([&] { return (ended = receive()) || reply.raw.contains("\r\n\r\n"); }, 2000);
        reply.answeredEarly = !reply.raw.isEmpty() && !reply.raw.startsWith(continueLine);
    }
    if (!reply.answeredEarly && !ended)
        sendAll(body);
    if (!ended && !reply.reset)
        until([&] { return receive(); }, 10000);
    rawsocket::close(fd);
    parseReply(reply);
    return reply;
}

// The body as chunks of the given size, an extension on the first and a trailer field after the last.
QByteArray chunked(const QByteArray &body, qsizetype size, const QByteArray &eol = "\r\n")
{
    QByteArray wire;
    for (qsizetype at = 0; at < body.size(); at += size) {
        const QByteArray piece = body.mid(at, size);
        wire += QByteArray::number(piece.size(), 16) + (at == 0 ? "; name=\"first\"" : "") + eol + piece + eol;
    }
    return wire + "0" + eol + "X-Checksum: none" + eol + eol;
}

QByteArray keyed(const QByteArray &method, const QByteArray &path, const QByteArray &body = {})
{
    return requestBytes(method, path, body, testKey.toUtf8());
}

QJsonObject pushDocument()
{
    const QJsonArray items{
        QJsonObject{{"id", "p-item-1"}, {"name", "螺丝 M3"}, {"quantity", 40}, {"updatedAt", "2026-01-02 10:00:00"}},
        QJsonObject{{"id", "p-item-2"}, {"name", "垫片"}, {"quantity", 7}, {"updatedAt", "2026-01-02 10:00:01"}},
    };
    const QJsonArray customers{
        QJsonObject{{"id", "p-cust-1"}, {"name", "王师傅"}, {"createdAt", "2026-01-01 09:00:00"}}};
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

    quint16 port() const { return server->port(); }

private Q_SLOTS:
    void init()
    {
        QString error;
        const QString path = dir.filePath(QStringLiteral("case%1/data/plindor.db").arg(++caseNumber));
        QVERIFY2(db.open(path, &error), qPrintable(error));
        server = new SyncServer;
        server->setKey(testKey);
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
                                      << "GET"
                                      << "/ping?a=%41" << QByteArray();
        QTest::newRow("without version") << QByteArray("GET /info\r\n\r\n") << ParseStatus::Complete << "GET"
                                         << "/info" << QByteArray();
        QTest::newRow("lower-case method")
            << QByteArray("post /import HTTP/1.1\r\n\r\n") << ParseStatus::Complete << "POST"
            << "/import" << QByteArray();
        QTest::newRow("two spaces") << QByteArray("GET  /ping HTTP/1.1\r\n\r\n") << ParseStatus::Complete << "GET"
                                    << "" << QByteArray();
        QTest::newRow("latin-1 path") << QByteArray("GET /\xe9t\xe9 HTTP/1.1\r\n\r\n") << ParseStatus::Complete << "GET"
                                      << QString::fromUtf8("/été") << QByteArray();
        QTest::newRow("one word") << QByteArray("GET\r\n\r\n") << ParseStatus::Malformed << ""
                                  << "" << QByteArray();
        QTest::newRow("empty request line") << QByteArray("\r\nHost: x\r\n\r\n") << ParseStatus::Malformed << ""
                                            << "" << QByteArray();
        QTest::newRow("no blank line") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << ParseStatus::NeedMore << ""
                                       << "" << QByteArray();
        QTest::newRow("body incomplete") << QByteArray("POST /import\r\nContent-Length: 5\r\n\r\nabcd")
                                         << ParseStatus::NeedMore << "POST"
                                         << "/import" << QByteArray();
        QTest::newRow("capital length") << QByteArray("POST /import\r\nCONTENT-LENGTH: 3\r\n\r\nabcdef")
                                        << ParseStatus::Complete << "POST"
                                        << "/import" << QByteArray("abc");
        QTest::newRow("lower length") << QByteArray("POST /import\r\ncontent-length:  2 \r\n\r\nabcdef")
                                      << ParseStatus::Complete << "POST"
                                      << "/import" << QByteArray("ab");
        QTest::newRow("no length") << QByteArray("POST /import\r\n\r\n{\"a\":1}") << ParseStatus::Complete << "POST"
                                   << "/import" << QByteArray();
        QTest::newRow("non-numeric length")
            << QByteArray("POST /import\r\nContent-Length: ten\r\n\r\nabc") << ParseStatus::Complete << "POST"
            << "/import" << QByteArray();
        QTest::newRow("negative length") << QByteArray("POST /import\r\nContent-Length: -20\r\n\r\n")
                                         << ParseStatus::Complete << "POST"
                                         << "/import" << QByteArray();
        QTest::newRow("later length wins") << QByteArray("PUT /x\r\nContent-Length: 9\r\ncontent-length: 1\r\n\r\nzq")
                                           << ParseStatus::Complete << "PUT"
                                           << "/x" << QByteArray("z");
        QTest::newRow("length at bound") << QByteArray("POST /import\r\nContent-Length: " + bound + "\r\n\r\n")
                                         << ParseStatus::NeedMore << "POST"
                                         << "/import" << QByteArray();
        QTest::newRow("length beyond bound") << QByteArray("POST /import\r\nContent-Length: " + beyond + "\r\n\r\n")
                                             << ParseStatus::BodyTooLarge << "POST"
                                             << "/import" << QByteArray();
        QTest::newRow("length beyond 64 bits")
            << QByteArray("POST /import\r\nContent-Length: 99999999999999999999999\r\n\r\n")
            << ParseStatus::BodyTooLarge << "POST"
            << "/import" << QByteArray();
        QTest::newRow("huge length then sane")
            << QByteArray("POST /i\r\nContent-Length: " + beyond + "\r\nContent-Length: 1\r\n\r\nx")
            << ParseStatus::Complete << "POST"
            << "/i" << QByteArray("x");

        const QByteArray te = "POST /import HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
        QTest::newRow("chunked") << QByteArray(te + "4\r\nabcd\r\n0\r\n\r\nnext") << ParseStatus::Complete << "POST"
                                 << "/import" << QByteArray("abcd");
        QTest::newRow("chunk extensions and trailer")
            << QByteArray(te + "2;a=\"b;c\"\r\nab\r\n1 \t; c\r\nc\r\n0;z\r\nT: 1\r\nU: 2\r\n\r\n")
            << ParseStatus::Complete << "POST"
            << "/import" << QByteArray("abc");
        QTest::newRow("upper-case hex, leading zeros")
            << QByteArray(te + "00A\r\n0123456789\r\n000\r\n\r\n") << ParseStatus::Complete << "POST"
            << "/import" << QByteArray("0123456789");
        QTest::newRow("chunked, bare LF") << QByteArray(te + "3\nabc\n0\n\n") << ParseStatus::Complete << "POST"
                                          << "/import" << QByteArray("abc");
        QTest::newRow("chunked, trailer unfinished")
            << QByteArray(te + "3\r\nabc\r\n0\r\nT: 1\r\n") << ParseStatus::NeedMore << "POST"
            << "/import" << QByteArray();
        QTest::newRow("chunk size not hex") << QByteArray(te + "zz\r\nab\r\n0\r\n\r\n") << ParseStatus::BadChunk << ""
                                            << "" << QByteArray();
        QTest::newRow("no chunk size") << QByteArray(te + ";x\r\n") << ParseStatus::BadChunk << ""
                                       << "" << QByteArray();
        QTest::newRow("junk after chunk size")
            << QByteArray(te + "3 x\r\nabc\r\n0\r\n\r\n") << ParseStatus::BadChunk << ""
            << "" << QByteArray();
        QTest::newRow("chunk longer than its size")
            << QByteArray(te + "2\r\nabc\r\n0\r\n\r\n") << ParseStatus::BadChunk << ""
            << "" << QByteArray();
        QTest::newRow("unchunked body") << QByteArray(te + "{\"items\":[]}") << ParseStatus::BadChunk << ""
                                        << "" << QByteArray();
        QTest::newRow("endless chunk-size line")
            << QByteArray(te + "1;" + QByteArray(http::maxChunkLineSize, 'e')) << ParseStatus::BadChunk << ""
            << "" << QByteArray();
        QTest::newRow("chunk size beyond bound") << QByteArray(te + "10000001\r\n") << ParseStatus::BodyTooLarge << ""
                                                 << "" << QByteArray();
        QTest::newRow("chunk size beyond 64 bits")
            << QByteArray(te + "FFFFFFFFFFFFFFFFFFFFFFFF\r\n") << ParseStatus::BodyTooLarge << ""
            << "" << QByteArray();
        QTest::newRow("Transfer-Encoding and Content-Length")
            << QByteArray("POST /import\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc")
            << ParseStatus::AmbiguousFraming << ""
            << "" << QByteArray();
        QTest::newRow("chunked twice") << QByteArray("POST /i\r\nTransfer-Encoding: chunked, Chunked\r\n\r\n")
                                       << ParseStatus::AmbiguousFraming << ""
                                       << "" << QByteArray();
        QTest::newRow("two coding lines")
            << QByteArray("POST /i\r\nTransfer-Encoding: chunked\r\ntransfer-encoding: chunked\r\n\r\n")
            << ParseStatus::AmbiguousFraming << ""
            << "" << QByteArray();
        QTest::newRow("empty coding") << QByteArray("POST /i\r\nTransfer-Encoding:\r\n\r\n")
                                      << ParseStatus::AmbiguousFraming << ""
                                      << "" << QByteArray();
        QTest::newRow("gzip") << QByteArray("POST /i\r\nTransfer-Encoding: gzip, chunked\r\n\r\n")
                              << ParseStatus::UnsupportedCoding << ""
                              << "" << QByteArray();
        QTest::newRow("bare LF head") << QByteArray("POST /import\nContent-Length: 2\n\nabc") << ParseStatus::Complete
                                      << "POST"
                                      << "/import" << QByteArray("ab");
        QTest::newRow("mixed line ends") << QByteArray("GET /ping\r\nHost: x\n\r\n") << ParseStatus::Complete << "GET"
                                         << "/ping" << QByteArray();
        QTest::newRow("bare LF, head unfinished") << QByteArray("GET /ping\nHost: x\n") << ParseStatus::NeedMore << ""
                                                  << "" << QByteArray();
        QTest::newRow("absolute form") << QByteArray("GET http://127.0.0.1:9527/export?key=A HTTP/1.1\r\n\r\n")
                                       << ParseStatus::Complete << "GET"
                                       << "/export?key=A" << QByteArray();
        QTest::newRow("absolute form, no path")
            << QByteArray("GET HTTP://host HTTP/1.1\r\n\r\n") << ParseStatus::Complete << "GET"
            << "/" << QByteArray();
        QTest::newRow("absolute form, query only")
            << QByteArray("GET https://host?key=1/2 HTTP/1.1\r\n\r\n") << ParseStatus::Complete << "GET"
            << "/?key=1/2" << QByteArray();
        QTest::newRow("other scheme kept")
            << QByteArray("GET ftp://host/ping HTTP/1.1\r\n\r\n") << ParseStatus::Complete << "GET"
            << "ftp://host/ping" << QByteArray();

        const QByteArray filler = "X-Pad: " + QByteArray(http::maxHeadSize, 'a') + "\r\n";
        QTest::newRow("head never ends") << QByteArray("GET / HTTP/1.1\r\n" + filler) << ParseStatus::HeadTooLarge << ""
                                         << "" << QByteArray();
        QTest::newRow("blank line too late")
            << QByteArray("GET / HTTP/1.1\r\n" + filler + "\r\n") << ParseStatus::HeadTooLarge << ""
            << "" << QByteArray();
        const QByteArray fits = "GET / HTTP/1.1\r\nX-Pad: ";
        const QByteArray exact = fits + QByteArray(http::maxHeadSize - fits.size() - 4, 'a') + "\r\n\r\n";
        QTest::newRow("head exactly at bound") << exact << ParseStatus::Complete << "GET"
                                               << "/" << QByteArray();
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

    // The decoder gives the same body however the bytes are split: at any one point, or byte by byte.
    void chunkedAnySplit()
    {
        const QByteArray data = "hello" + QByteArray(26, 'z');
        const QByteArray wire = "5;ext=1\r\nhello\r\n1A\r\n" + QByteArray(26, 'z') + "\r\n0\r\nTrailer: x\r\n\r\n";
        const QByteArray sent = wire + "GET /next";
        for (qsizetype cut = 0; cut <= sent.size(); ++cut) {
            http::ChunkedDecoder decoder;
            QByteArray body;
            QCOMPARE(decoder.feed(QByteArrayView(sent).first(cut), body),
                     cut < wire.size() ? ParseStatus::NeedMore : ParseStatus::Complete);
            QCOMPARE(decoder.feed(QByteArrayView(sent).sliced(cut), body), ParseStatus::Complete);
            QCOMPARE(body, data);
            QCOMPARE(decoder.wireSize(), qint64(wire.size()));
        }
        http::ChunkedDecoder decoder;
        QByteArray body;
        ParseStatus status = ParseStatus::NeedMore;
        for (qsizetype at = 0; at < sent.size(); ++at)
            status = decoder.feed(QByteArrayView(sent).sliced(at, 1), body);
        QCOMPARE(status, ParseStatus::Complete);
        QCOMPARE(body, data);
    }

    // Tiny chunks with long extensions: little data, but the bytes on the wire meet the bound.
    void chunkedWireBound()
    {
        const QByteArray chunk = "1;" + QByteArray(http::maxChunkLineSize - 8, 'e') + "\r\nx\r\n";
        QByteArray block;
        while (block.size() < (1 << 20))
            block += chunk;
        http::ChunkedDecoder decoder;
        QByteArray body;
        ParseStatus status = ParseStatus::NeedMore;
        for (qint64 fed = 0; status == ParseStatus::NeedMore && fed <= 2 * http::maxBodySize; fed += block.size())
            status = decoder.feed(block, body);
        QCOMPARE(status, ParseStatus::BodyTooLarge);
        QVERIFY(decoder.wireSize() > http::maxBodySize);
        QVERIFY(decoder.wireSize() <= http::maxBodySize + chunk.size());
        QVERIFY(body.size() < http::maxBodySize / 1000);
    }

    // Listener

    void startOnBusyPort()
    {
        SyncServer second;
        QSignalSpy log(&second, &SyncServer::logMessage);
        QVERIFY(!second.start(port()));
        QVERIFY(!second.isRunning());
        QVERIFY(second.findChildren<QTcpServer *>().isEmpty());
        QCOMPARE(second.port(), quint16(9527));
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
        QVERIFY(other.isRunning());
        QCOMPARE(other.port(), p);
        QCOMPARE(log.size(), 2);
        QCOMPARE(log.last().first().toString(), QStringLiteral("[同步服务] 已启动，端口 %1").arg(p));
        other.stop();
        QVERIFY(!other.isRunning());
        QTRY_VERIFY(other.findChildren<QTcpServer *>().isEmpty());
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
        QTest::newRow("no Content-Length")
            << QByteArray("POST /import HTTP/1.1\r\n" + key + "\r\n" + body) << 200 << unusable;
        QTest::newRow("non-numeric length")
            << QByteArray("POST /import HTTP/1.1\r\n" + key + "Content-Length: many\r\n\r\n" + body) << 200 << unusable;
        QTest::newRow("negative length") << QByteArray("POST /import HTTP/1.1\r\n" + key + "Content-Length: -5\r\n\r\n")
                                         << 200 << unusable;
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

    // What the HTTP libraries of phones send beyond a plain Content-Length request, over a raw socket.
    void phoneStacks_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("waitForContinue");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("continued"); // "100 Continue" came before any body byte was sent
        QTest::addColumn<bool>("merged");

        const QByteArray key = "X-Sync-Key: " + testKey.toUtf8() + "\r\n";
        const QByteArray wrongKey = "X-Sync-Key: WRONG\r\n";
        const QByteArray doc = QJsonDocument(pushDocument()).toJson(QJsonDocument::Compact);
        const QByteArray length = "Content-Length: " + QByteArray::number(doc.size()) + "\r\n";
        const QByteArray push = "POST /import HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        const QByteArray chunkedCoding = "Transfer-Encoding: chunked\r\n";
        const QByteArray expect = "Expect: 100-continue\r\n";
        const QByteArray upload(4 * 1024 * 1024, 'x');
        const QString badChunk = QStringLiteral("分块传输格式错误");

        QTest::newRow("chunked push") << QByteArray(push + key + chunkedCoding + "\r\n") << chunked(doc, 50) << false
                                      << 200 << QString() << false << true;
        QTest::newRow("chunked push, Expect") << QByteArray(push + key + chunkedCoding + expect + "\r\n")
                                              << chunked(doc, 4096) << true << 200 << QString() << true << true;
        QTest::newRow("chunk size not hex")
            << QByteArray(push + key + chunkedCoding + "\r\n") << QByteArray("zz\r\n{}\r\n0\r\n\r\n") << false << 400
            << badChunk << false << false;
        QTest::newRow("chunk longer than its size")
            << QByteArray(push + key + chunkedCoding + "\r\n") << QByteArray("2\r\n{} \r\n0\r\n\r\n") << false << 400
            << badChunk << false << false;
        QTest::newRow("unchunked body, chunked header")
            << QByteArray(push + key + chunkedCoding + "\r\n") << doc << false << 400 << badChunk << false << false;
        QTest::newRow("Content-Length and Transfer-Encoding")
            << QByteArray(push + key + length + chunkedCoding + "\r\n") << chunked(doc, 50) << false << 400
            << QStringLiteral("请求体长度声明冲突，无法确定请求体") << false << false;
        QTest::newRow("gzip coding") << QByteArray(push + key + "Transfer-Encoding: gzip, chunked\r\n\r\n")
                                     << chunked(doc, 50) << false << 501 << QStringLiteral("不支持的传输编码") << false
                                     << false;
        QTest::newRow("Expect, push") << QByteArray(push + key + length + expect + "\r\n") << doc << true << 200
                                      << QString() << true << true;
        QTest::newRow("Expect, wrong key") << QByteArray(push + wrongKey + length + expect + "\r\n") << doc << true
                                           << 401 << QStringLiteral("密钥不正确") << false << false;
        QTest::newRow("Expect, wrong method") << QByteArray("GET /import HTTP/1.1\r\n" + key + length + expect + "\r\n")
                                              << doc << true << 404 << QStringLiteral("not found") << false << false;
        QTest::newRow("413 while sending") << QByteArray(push + key + "Content-Length: 300000000\r\n\r\n") << upload
                                           << false << 413 << QStringLiteral("请求数据过大") << false << false;
        QTest::newRow("401 while sending")
            << QByteArray(push + wrongKey + "Content-Length: " + QByteArray::number(upload.size()) + "\r\n\r\n")
            << upload << false << 401 << QStringLiteral("密钥不正确") << false << false;
        QTest::newRow("bad chunk while sending")
            << QByteArray(push + key + chunkedCoding + "\r\n") << QByteArray("5\r\n" + upload) << false << 400
            << badChunk << false << false;
        QTest::newRow("HEAD /export") << QByteArray("HEAD /export HTTP/1.1\r\n" + key + "\r\n") << QByteArray() << false
                                      << 200 << QString() << false << false;
        QTest::newRow("HEAD /ping") << QByteArray("HEAD /ping HTTP/1.1\r\n\r\n") << QByteArray() << false << 200
                                    << QString() << false << false;
        QTest::newRow("absolute-form target")
            << QByteArray("POST http://127.0.0.1:9527/import?from=phone HTTP/1.1\r\n" + key + length + "\r\n") << doc
            << false << 200 << QString() << false << true;
        QTest::newRow("bare-LF head") << QByteArray("POST /import HTTP/1.1\nX-Sync-Key: " + testKey.toUtf8() + "\n"
                                                    + "Content-Length: " + QByteArray::number(doc.size()) + "\n\n")
                                      << doc << false << 200 << QString() << false << true;
        QTest::newRow("bare-LF chunked") << QByteArray(push + key + chunkedCoding + "\n") << chunked(doc, 64, "\n")
                                         << false << 200 << QString() << false << true;
    }

    void phoneStacks()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, body);
        QFETCH(bool, waitForContinue);
        QFETCH(int, status);
        QFETCH(QString, error);
        QFETCH(bool, continued);
        QFETCH(bool, merged);
        QSignalSpy activity(server, &SyncServer::activity);
        const Reply reply = converse(port(), head, body, waitForContinue);

        QVERIFY2(reply.closedByServer, reply.raw.left(300).constData());
        QVERIFY(!reply.reset);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.continued, continued);
        // Leave to go on, or the final answer at once: a waiting client never waits for nothing.
        if (waitForContinue)
            QCOMPARE(reply.answeredEarly, !continued);
        if (head.startsWith("HEAD")) {
            QVERIFY(reply.body.isEmpty());
            QCOMPARE(reply.headers.value("content-type"), QByteArray("application/json; charset=utf-8"));
            // The length a GET would get, where it is known without building the answer.
            if (head.contains("/export"))
                QVERIFY(!reply.headers.contains("content-length"));
            else
                QCOMPARE(reply.headers.value("content-length"),
                         QByteArray::number(exchange(port(), "GET" + head.mid(4)).body.size()));
        } else {
            verifyFraming(reply);
        }
        if (!error.isEmpty())
            QCOMPARE(reply.json()["error"].toString(), error);

        for (const QJsonValue &row : db.recentSyncLog(10))
            QVERIFY(row["action"].toString() != QStringLiteral("拉取"));
        if (merged) {
            QCOMPARE(reply.json()["ok"], QJsonValue(true));
            QCOMPARE(db.counts()["items"].toInt(), 2);
            QCOMPARE(db.counts()["customers"].toInt(), 1);
            QCOMPARE(db.listVersions(10).size(), 1);
            QCOMPARE(activity.size(), 1);
            QCOMPARE(activity.first().at(1).toString(), QStringLiteral("推送"));
        } else {
            QCOMPARE(db.counts()["items"].toInt(), 0);
            QVERIFY(db.listVersions(10).isEmpty());
        }
    }

    // A client that goes on sending after its refusal is read for a bounded time only, then cut off.
    void drainIsBounded()
    {
        server->setDrainTimeout(300);
        const rawsocket::Handle fd = rawsocket::connectTo(port());
        QVERIFY(fd != rawsocket::invalid);
        const QByteArray head = "POST /import HTTP/1.1\r\nX-Sync-Key: WRONG\r\nContent-Length: 100000000\r\n\r\n";
        QCOMPARE(rawsocket::send(fd, head.constData(), head.size()), head.size());
        QByteArray answer;
        bool cutOff = false;
        QElapsedTimer clock;
        clock.start();
        const QByteArray piece(1024, 'x');
        while (!cutOff && clock.elapsed() < 5000) {
            QTest::qWait(20);
            char chunk[4096];
            for (qint64 n; (n = rawsocket::receive(fd, chunk, sizeof chunk)) > 0;)
                answer.append(chunk, n);
            cutOff = rawsocket::send(fd, piece.constData(), piece.size()) < 0 && !rawsocket::wouldBlock();
        }
        rawsocket::close(fd);
        QVERIFY(answer.startsWith("HTTP/1.1 401 Unauthorized"));
        QVERIFY(cutOff);
        QTRY_VERIFY(server->findChildren<QTcpSocket *>().isEmpty());
        QVERIFY(server->findChildren<SyncConnection *>().isEmpty());
    }

    // Real clients push a document over 1 MiB, each the way it frames a body of unknown length or waits for
    // leave to send. Run where the client is installed.
    void realClients_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments"); // FILE, URL and KEY stand for the document, the address and the key
        QTest::addColumn<QByteArray>("seen"); // in the client's own trace, when given

        const QString fetchStream = QStringLiteral(
            "const [file, url, key] = process.argv.slice(1);"
            "const data = require('fs').readFileSync(file); let at = 0;"
            "const body = new ReadableStream({ pull(c) { if (at >= data.length) c.close();"
            "  else { c.enqueue(data.subarray(at, at + 65536)); at += 65536; } } });"
            "fetch(url, { method: 'POST', headers: { 'X-Sync-Key': key }, body, duplex: 'half' })"
            "  .then(r => r.text()).then(t => process.stdout.write(t), e => { console.error(e); process.exit(1); });");
        const QString httpContinue = QStringLiteral(
            "const [file, url, key] = process.argv.slice(1);"
            "const data = require('fs').readFileSync(file);"
            "const req = require('http').request(url, { method: 'POST',"
            "  headers: { 'X-Sync-Key': key, 'Expect': '100-continue' } });"
            "req.on('continue', () => { for (let at = 0; at < data.length; at += 65536)"
            "  req.write(data.subarray(at, at + 65536)); req.end(); });"
            "req.on('response', res => { let t = ''; res.setEncoding('utf8'); res.on('data', d => t += d);"
            "  res.on('end', () => process.stdout.write(t)); });"
            "req.on('error', e => { console.error(e); process.exit(1); });");
        const QStringList curl{"-sS", "-v", "--noproxy", "*", "-H", "X-Sync-Key: KEY", "--data-binary", "@FILE"};
        QTest::newRow("curl, automatic Expect")
            << "curl" << (curl + QStringList{"URL"}) << QByteArray("< HTTP/1.1 100 Continue");
        QTest::newRow("curl, chunked") << "curl" << (curl + QStringList{"-H", "Transfer-Encoding: chunked", "URL"})
                                       << QByteArray("> Transfer-Encoding: chunked");
        QTest::newRow("node fetch, stream body")
            << "node" << QStringList{"-e", fetchStream, "FILE", "URL", "KEY"} << QByteArray();
        QTest::newRow("node http, waits for 100")
            << "node" << QStringList{"-e", httpContinue, "FILE", "URL", "KEY"} << QByteArray();
    }

    void realClients()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, seen);
        if (QStandardPaths::findExecutable(program).isEmpty())
            QSKIP("client not installed");

        QJsonArray items;
        for (int i = 0; i < 3000; ++i)
            items.append(QJsonObject{{"id", QStringLiteral("big-%1").arg(i)}, {"name", QString(400, QChar(u'件'))}});
        const QByteArray document = QJsonDocument(QJsonObject{{"app", "plindor"}, {"items", items}}).toJson();
        QVERIFY(document.size() > 1024 * 1024);
        QFile file(dir.filePath(QStringLiteral("push-%1.json").arg(caseNumber)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(document) == document.size());
        file.close();
        for (QString &argument : arguments) {
            argument.replace(QLatin1String("FILE"), file.fileName())
                .replace(QLatin1String("URL"), QStringLiteral("http://127.0.0.1:%1/import").arg(port()))
                .replace(QLatin1String("KEY"), testKey);
        }

        QProcess client;
        client.start(program, arguments);
        QVERIFY(QTest::qWaitFor([&] { return client.state() == QProcess::NotRunning; }, 20000));
        const QByteArray trace = client.readAllStandardError();
        QVERIFY2(client.exitCode() == 0, trace.constData());
        if (!seen.isEmpty())
            QVERIFY2(trace.contains(seen), trace.constData());
        const QJsonObject answer = QJsonDocument::fromJson(client.readAllStandardOutput()).object();
        QCOMPARE(answer["ok"], QJsonValue(true));
        QCOMPARE(answer["merged"]["items"].toInt(), 3000);
        QCOMPARE(db.counts()["items"].toInt(), 3000);
    }

    // A burst of connects finds room in the listen queue while the service takes none of them.
    void burstOfConnects()
    {
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < 200; ++i) {
            clients.push_back(std::make_unique<QTcpSocket>());
            clients.back()->connectToHost(QHostAddress::LocalHost, port());
            // No event loop runs here, so only the queue holds them; a dropped connect is retried after 1 s.
            QVERIFY2(clients.back()->waitForConnected(800), qPrintable(QString::number(i)));
            clients.back()->write("GET /ping HTTP/1.1\r\n\r\n");
        }
        std::vector<QByteArray> answers(clients.size());
        QVERIFY(QTest::qWaitFor(
            [&] {
                bool closed = true;
                for (size_t i = 0; i < clients.size(); ++i) {
                    answers[i] += clients[i]->readAll();
                    closed = closed && clients[i]->state() == QAbstractSocket::UnconnectedState;
                }
                return closed;
            },
            20000));
        for (const QByteArray &answer : answers)
            QVERIFY2(answer.startsWith("HTTP/1.1 200 OK"), answer.constData());
        QTRY_VERIFY(server->findChildren<SyncConnection *>().isEmpty());
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
        QTest::newRow("header wins over query") << testKey << requestBytes("GET", "/info?key=" + k, {}, "WRONG") << 401;
        QTest::newRow("empty header, query used")
            << testKey << QByteArray("GET /info?key=" + k + " HTTP/1.1\r\nX-Sync-Key:\r\n\r\n") << 200;
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
        server->setKey(serverKey);
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

    // Events "peer@seconds" fed to the tally in order; rows as "peer" for a refusal's own row and
    // "peer+n" for a count, those still open when the service ends after the last event.
    void refusalTally_data()
    {
        QTest::addColumn<int>("maxAddresses");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("rows");
        const QString other = RefusalTally::overflowPeer();
        QTest::newRow("one refusal") << 8 << QStringList{"a@0"} << QStringList{"a"};
        QTest::newRow("more within the minute")
            << 8 << QStringList{"a@0", "a@10", "a@59.999"} << QStringList{"a", "a+2"};
        QTest::newRow("a new minute, a new row")
            << 8 << QStringList{"a@0", "a@30", "a@60", "a@61"} << QStringList{"a", "a+1", "a", "a+1"};
        QTest::newRow("the count comes before the next row")
            << 8 << QStringList{"a@0", "a@1", "b@70"} << QStringList{"a", "a+1", "b"};
        QTest::newRow("addresses counted apart")
            << 8 << QStringList{"a@0", "b@1", "a@2", "b@3", "b@4"} << QStringList{"a", "b", "a+1", "b+2"};
        QTest::newRow("beyond the bound, counted together")
            << 3 << QStringList{"a@0", "b@0", "c@0", "d@0", "e@0", "a@1"}
            << QStringList{"a", "b", other, "a+1", other + "+2"};
        QTest::newRow("room again once a minute is over")
            << 2 << QStringList{"a@0", "b@10", "c@20", "c@65"} << QStringList{"a", other, "c", other + "+1"};
    }

    void refusalTally()
    {
        QFETCH(int, maxAddresses);
        QFETCH(QStringList, events);
        QFETCH(QStringList, rows);
        RefusalTally tally(maxAddresses);
        QStringList written;
        auto writeCounts = [&written](const QList<RefusalTally::Count> &counts) {
            for (const RefusalTally::Count &count : counts)
                written << QStringLiteral("%1+%2").arg(count.peer).arg(count.times);
        };
        for (const QString &event : events) {
            const QStringList parts = event.split(QLatin1Char('@'));
            const RefusalTally::Note note = tally.note(parts.at(0), qint64(parts.at(1).toDouble() * 1000));
            writeCounts(note.ended);
            if (note.ownRow)
                written << note.loggedAs;
            QVERIFY(tally.addresses() <= maxAddresses);
        }
        writeCounts(tally.takeAll());
        QCOMPARE(written, rows);
        QVERIFY(tally.isEmpty());
    }

    // However many addresses refuse, the memory for them stays bounded.
    void refusalTallyBounded()
    {
        RefusalTally tally(16);
        int ownRows = 0;
        for (int i = 0; i < 100000; ++i)
            ownRows += tally.note(QStringLiteral("fd00::%1").arg(i, 0, 16), i / 10).ownRow ? 1 : 0;
        QCOMPARE(tally.addresses(), 16);
        QCOMPARE(ownRows, 16);
        const QList<RefusalTally::Count> counts = tally.due(100000 + RefusalTally::windowMs);
        QCOMPARE(counts.size(), 1);
        QCOMPARE(counts.first().peer, RefusalTally::overflowPeer());
        QCOMPARE(counts.first().times, 100000 - 16);
        QVERIFY(tally.isEmpty());
    }

    // A flood of wrong keys from several addresses: each gets today's 401 at once, each address writes one
    // row in its minute and one with the count when it is over; requests without the key that cannot even
    // be read write nothing; a phone with the key is served meanwhile.
    void floodOfWrongKeys()
    {
        const QDateTime start = QDateTime::currentDateTime();
        Clock::stopAt(start);
        const auto restoreClock = qScopeGuard([] { Clock::stopAt({}); });
        const QList<QHostAddress> sources{QHostAddress("127.0.0.2"), QHostAddress("127.0.0.3"),
                                          QHostAddress("127.0.0.4"), QHostAddress("127.0.0.5")};
        const QList<QByteArray> wrong{requestBytes("GET", "/info", {}, "WRONG"), requestBytes("GET", "/export"),
                                      requestBytes("POST", "/import", "{\"items\":[]}", "OLDKEY123456"),
                                      requestBytes("GET", "/nothing?key=nope")};
        const QList<std::pair<QByteArray, int>> unreadable{
            {"BLAH\r\n\r\n", 400},
            {"POST /import HTTP/1.1\r\nContent-Length: " + QByteArray::number(http::maxBodySize + 1) + "\r\n\r\n", 413},
            {"GET /info HTTP/1.1\r\nX-Pad: " + QByteArray(70000, 'a'), 400}};
        const QJsonObject refused{{"ok", false}, {"error", QStringLiteral("密钥不正确")}, {"needKey", 1}};
        constexpr int rounds = 10;
        QSignalSpy activity(server, &SyncServer::activity);
        for (int round = 0; round < rounds; ++round) {
            for (const QHostAddress &source : sources) {
                for (const QByteArray &request : wrong) {
                    const Reply reply = exchange(port(), {request}, 0, QHostAddress(QHostAddress::LocalHost), source);
                    verifyFraming(reply);
                    QCOMPARE(reply.status, 401);
                    QCOMPARE(reply.body, QJsonDocument(refused).toJson(QJsonDocument::Compact));
                }
                for (const auto &[request, status] : unreadable)
                    QCOMPARE(exchange(port(), {request}, 0, QHostAddress(QHostAddress::LocalHost), source).status,
                             status);
            }
            if (round == rounds / 2) {
                const QByteArray body = QJsonDocument(pushDocument()).toJson(QJsonDocument::Compact);
                QCOMPARE(exchange(port(), keyed("POST", "/import", body)).status, 200);
                QCOMPARE(exchange(port(), keyed("GET", "/export")).status, 200);
            }
        }
        auto rowsOf = [this](const QString &detail) {
            QStringList peers;
            for (const QJsonValue &row : db.recentSyncLog(1000)) {
                if (row["action"].toString() == QStringLiteral("拒绝") && row["detail"].toString() == detail)
                    peers.prepend(row["peer"].toString());
            }
            return peers;
        };
        const QString first = QStringLiteral("密钥错误，拒绝访问");
        const QString counted = QStringLiteral("密钥错误，拒绝访问（1 分钟内又 %1 次）").arg(rounds * wrong.size() - 1);
        const QStringList peers{"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
        QCOMPARE(rowsOf(first), peers);
        QCOMPARE(db.recentSyncLog(1000).size(), peers.size() + 2);
        QCOMPARE(activity.size(), peers.size() + 2);

        // The minute is over: one count row per address, written without another request.
        Clock::stopAt(start.addSecs(60));
        QTRY_COMPARE_WITH_TIMEOUT(rowsOf(counted), peers, 5000);
        QCOMPARE(activity.size(), 2 * peers.size() + 2);
        QCOMPARE(activity.last().at(2).toString(), counted);

        // The next refusal begins a new minute with a row of its own.
        const Reply again =
            exchange(port(), {wrong.first()}, 0, QHostAddress(QHostAddress::LocalHost), sources.first());
        QCOMPARE(again.status, 401);
        QCOMPARE(rowsOf(first), peers + QStringList{"127.0.0.2"});
    }

    // Refusals still being counted when the service stops are written then.
    void stopWritesOpenCounts()
    {
        for (int i = 0; i < 3; ++i)
            QCOMPARE(exchange(port(), requestBytes("GET", "/info", {}, "WRONG")).status, 401);
        QCOMPARE(db.recentSyncLog(10).size(), 1);
        server->stop();
        const QJsonArray log = db.recentSyncLog(10);
        QCOMPARE(log.size(), 2);
        QCOMPARE(log.first()["peer"].toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(log.first()["detail"].toString(), QStringLiteral("密钥错误，拒绝访问（1 分钟内又 2 次）"));
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
        server->setKey(serverKey);
        server->setDeviceName(QStringLiteral("仓库电脑"));
        const Reply reply = exchange(port(), requestBytes("POST", "/ping/anything", "ignored"));
        verifyFraming(reply);
        QCOMPARE(reply.status, 200);
        const QJsonObject expected{{"ok", true},
                                   {"app", "plindor"},
                                   {"protocol", 1},
                                   {"needKey", needKey},
                                   {"deviceName", QStringLiteral("仓库电脑")}};
        QCOMPARE(reply.json(), expected);
        QVERIFY(reply.body.contains("\"needKey\":" + QByteArray::number(needKey)));
    }

    void info()
    {
        QVERIFY(!db.upsert("items", {{"id", "i1"}, {"name", "轴承"}}, nullptr).isEmpty());
        server->setDeviceName(QStringLiteral("仓库电脑"));
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
        QCOMPARE(answer["merged"].toObject(), (QJsonObject{{"items", 2},
                                                           {"transactions", 0},
                                                           {"categories", 0},
                                                           {"locations", 0},
                                                           {"customers", 1},
                                                           {"relations", 0}}));
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

    // A push that meets a fault of the database is refused whole and may be sent again.
    void pushUnderFault_data() { testutil::addStorageFaultRows(); }

    void pushUnderFault()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        QVERIFY(!db.upsert("items", {{"id", "kept"}, {"name", "原有"}}, nullptr).isEmpty());
        const QJsonObject before = QJsonDocument::fromJson(db.snapshotText()).object();
        const int versionsBefore = db.listVersions(300).size();

        QJsonArray items;
        QJsonArray transactions;
        for (int i = 0; i < 400; ++i) {
            items.append(QJsonObject{{"id", QStringLiteral("f-%1").arg(i)},
                                     {"name", QStringLiteral("零件 %1 ").arg(i).repeated(20)},
                                     {"updatedAt", "2026-01-02 10:00:00"}});
            transactions.append(
                QJsonObject{{"id", QStringLiteral("t-%1").arg(i)}, {"itemId", QStringLiteral("f-%1").arg(i)}});
        }
        const QByteArray body =
            QJsonDocument(QJsonObject{{"items", items}, {"transactions", transactions}}).toJson(QJsonDocument::Compact);

        QSignalSpy log(server, &SyncServer::logMessage);
        testutil::StorageFault storageFault(fault, db.fileName());
        const Reply refused = exchange(port(), keyed("POST", "/import", body));
        verifyFraming(refused);
        QCOMPARE(refused.status, 503);
        QCOMPARE(refused.json()["ok"], QJsonValue(false));
        QVERIFY2(refused.json()["error"].toString().contains(reason), refused.body.constData());
        QCOMPARE(log.size(), 1);
        QVERIFY(log.first().first().toString().contains(reason));
        storageFault.lift();

        QJsonObject after = QJsonDocument::fromJson(db.snapshotText()).object();
        after.remove("exportedAt");
        QJsonObject expected = before;
        expected.remove("exportedAt");
        QCOMPARE(after, expected);
        QCOMPARE(db.listVersions(300).size(), versionsBefore);
        for (const QJsonValue &entry : db.recentSyncLog(100))
            QVERIFY(entry["action"].toString() != QStringLiteral("推送"));

        const Reply retried = exchange(port(), keyed("POST", "/import", body));
        QCOMPARE(retried.status, 200);
        QCOMPARE(retried.json()["merged"].toObject()["items"].toInt(), 400);
        QCOMPARE(retried.json()["merged"].toObject()["transactions"].toInt(), 400);
        QCOMPARE(db.counts()["items"].toInt(), 401);
        QCOMPARE(db.listVersions(300).size(), versionsBefore + 1);
        QCOMPARE(db.recentSyncLog(1).first()["action"].toString(), QStringLiteral("推送"));
    }

    // A table that cannot be read whole is a failure, never a shorter database.
    void damagedTableRefusesReads()
    {
        QJsonArray items;
        for (int i = 0; i < 3000; ++i)
            items.append(
                QJsonObject{{"id", QStringLiteral("d-%1").arg(i)}, {"name", QStringLiteral("物品 %1").arg(i)}});
        QVERIFY(db.merge(QJsonObject{{"items", items}}).error.isEmpty());
        // The rows go into the file itself, which then passes the opening check; the damage comes later,
        // while the program runs.
        const QString path = db.fileName();
        db.close();
        QString error;
        QVERIFY2(db.open(path, &error), qPrintable(error));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            const qint64 pageSize = 4096;
            // The last leaf page of a table (not of an index): the items hold nearly all of them.
            const QByteArray bytes = file.readAll();
            qint64 page = bytes.size() / pageSize - 1;
            while (page > 1 && bytes.at(page * pageSize) != 0x0d)
                --page;
            QVERIFY(page > 1);
            QVERIFY(file.seek(page * pageSize));
            QVERIFY(file.write(QByteArray(pageSize, '\xee')) == pageSize);
        }
        {
            // A commit by another connection makes the program drop the pages it holds in memory.
            QSqlDatabase side = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("side"));
            side.setDatabaseName(path);
            QVERIFY(side.open());
            QVERIFY(QSqlQuery(side).exec(QStringLiteral("INSERT INTO sync_log (createdAt) VALUES ('x')")));
            side.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("side"));

        for (const QByteArray &target : {QByteArray("/export"), QByteArray("/info")}) {
            const Reply reply = exchange(port(), keyed("GET", target));
            verifyFraming(reply);
            QCOMPARE(reply.status, 503);
            QCOMPARE(reply.json()["ok"], QJsonValue(false));
            QVERIFY2(reply.json()["error"].toString().contains(QStringLiteral("损坏")), reply.body.constData());
        }
        for (const QJsonValue &entry : db.recentSyncLog(100))
            QVERIFY(entry["action"].toString() != QStringLiteral("拉取"));
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
        server->setRefusal(reason);
        QString error;
        QVERIFY2(db.restoreFrom(backup, nullptr, &error, duringTheCopy), qPrintable(error));
        server->setRefusal(QString());

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
        const Reply reply =
            exchange(port(), {requestBytes("GET", "/info", {}, "WRONG")}, 0, QHostAddress(QHostAddress::LocalHostIPv6));
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
        QTest::newRow("declared body") << QByteArray(
            "POST /import HTTP/1.1\r\nContent-Length: " + QByteArray::number(http::maxBodySize + 1) + "\r\n\r\n")
                                       << 413 << QStringLiteral("请求数据过大");
        QTest::newRow("64-bit overflow") << QByteArray(
            "POST /import HTTP/1.1\r\nContent-Length: 123456789012345678901\r\n\r\n")
                                         << 413 << QStringLiteral("请求数据过大");
        QTest::newRow("endless head") << QByteArray("GET /ping HTTP/1.1\r\nX-Pad: " + QByteArray(70000, 'a')) << 400
                                      << QStringLiteral("请求头过大");
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
        server->setIdleTimeout(1000);

        QTcpSocket stalled;
        stalled.connectToHost(QHostAddress::LocalHost, port());
        QTRY_COMPARE(stalled.state(), QAbstractSocket::ConnectedState);
        stalled.write(partial);
        stalled.flush();
        QTRY_COMPARE(server->findChildren<QTcpSocket *>().size(), 1);

        // The service answers others while the stalled one waits.
        const Reply ping = exchange(port(), requestBytes("GET", "/ping"));
        QCOMPARE(ping.status, 200);
        QCOMPARE(stalled.state(), QAbstractSocket::ConnectedState);

        QTRY_COMPARE_WITH_TIMEOUT(stalled.state(), QAbstractSocket::UnconnectedState, 3000);
        QCOMPARE(stalled.readAll(), QByteArray());
        // The connection and its buffer are gone on the server side.
        QTRY_VERIFY(server->findChildren<QTcpSocket *>().isEmpty());
        QVERIFY(server->findChildren<SyncConnection *>().isEmpty());
    }

    // Bytes keep the connection alive: a slow sender is not cut off while it makes progress.
    void slowSenderNotCutOff()
    {
        server->setIdleTimeout(600);
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
        QTRY_COMPARE(server->findChildren<QTcpSocket *>().size(), 1);
        server->stop();
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(!server->isRunning());
        QTRY_VERIFY(server->findChildren<SyncConnection *>().isEmpty());
    }

    // A request whose last bytes come in as the service stops is never taken: a stopped service stores nothing.
    void stopLeavesRequestsUntaken()
    {
        const QByteArray request =
            keyed("POST", "/import", QJsonDocument(pushDocument()).toJson(QJsonDocument::Compact));
        const qsizetype cut = request.indexOf("\r\n\r\n") + 10;
        const rawsocket::Handle fd = rawsocket::connectTo(port());
        QVERIFY(fd != rawsocket::invalid);
        QCOMPARE(rawsocket::send(fd, request.constData(), cut), cut);
        QTRY_COMPARE(server->findChildren<SyncConnection *>().size(), 1);
        QTest::qWait(50); // the head is read; the rest is still on its way when the service stops
        QCOMPARE(rawsocket::send(fd, request.constData() + cut, request.size() - cut), request.size() - cut);
        server->stop();
        QByteArray received;
        QTRY_VERIFY(endedByService(fd, received));
        rawsocket::close(fd);
        QCOMPARE(received, QByteArray());
        QCOMPARE(db.counts()["items"].toInt(), 0);
        QVERIFY(db.recentSyncLog(10).isEmpty());
    }

    // However a connection ends before its request is done, its state goes with it: by the peer closing
    // or resetting it, or by the service stopping or being deleted.
    void droppedConnectionsLeaveNothing_data()
    {
        QTest::addColumn<QByteArray>("partial");
        QTest::addColumn<QByteArray>("received"); // what the peer has been sent by then
        QTest::addColumn<QString>("ending");

        const QByteArray doc = QJsonDocument(pushDocument()).toJson(QJsonDocument::Compact);
        const QByteArray push = "POST /import HTTP/1.1\r\nX-Sync-Key: " + testKey.toUtf8() + "\r\n";
        const QByteArray length = "Content-Length: " + QByteArray::number(doc.size()) + "\r\n";
        const QByteArray chunks = chunked(doc, 50);
        const QList<std::tuple<const char *, QByteArray, QByteArray>> partials{
            {"nothing sent", QByteArray(), QByteArray()},
            {"in the head", "POST /import HTTP/1.1\r\nContent-Le", QByteArray()},
            {"in the body", keyed("POST", "/import", doc).chopped(3), QByteArray()},
            {"in a chunked body", push + "Transfer-Encoding: chunked\r\n\r\n" + chunks.left(chunks.size() / 2),
             QByteArray()},
            {"waiting for leave", push + length + "Expect: 100-continue\r\n\r\n", continueLine},
            {"refused, body still coming",
             "POST /import HTTP/1.1\r\nX-Sync-Key: WRONG\r\nContent-Length: 1000000\r\n\r\n" + QByteArray(5000, 'x'),
             "HTTP/1.1 401 Unauthorized"},
        };
        for (const auto &[name, partial, received] : partials) {
            for (const char *ending : {"peer closes", "peer resets", "service stops", "service deleted"})
                QTest::addRow("%s, %s", name, ending) << partial << received << QString::fromLatin1(ending);
        }
    }

    void droppedConnectionsLeaveNothing()
    {
        QFETCH(QByteArray, partial);
        QFETCH(QByteArray, received);
        QFETCH(QString, ending);
        // Only the ending under test may end them.
        server->setIdleTimeout(60000);
        server->setDrainTimeout(60000);

        std::vector<rawsocket::Handle> clients;
        std::vector<QByteArray> replies;
        auto closeAll = [&](bool reset) {
            for (rawsocket::Handle &fd : clients) {
                if (reset)
                    rawsocket::resetAndClose(fd);
                else
                    rawsocket::close(fd);
                fd = rawsocket::invalid;
            }
        };
        auto ended = [&](size_t i) { return endedByService(clients[i], replies[i]); };
        for (int i = 0; i < 8; ++i) {
            clients.push_back(rawsocket::connectTo(port()));
            replies.emplace_back();
            QVERIFY(clients.back() != rawsocket::invalid);
            QCOMPARE(rawsocket::send(clients.back(), partial.constData(), partial.size()), partial.size());
        }
        QTRY_COMPARE(server->findChildren<SyncConnection *>().size(), qsizetype(clients.size()));
        for (size_t i = 0; i < clients.size(); ++i) {
            QTRY_VERIFY(ended(i) || replies[i].size() >= received.size());
            QVERIFY2(replies[i].startsWith(received), replies[i].constData());
        }
        QList<QPointer<SyncConnection>> connections;
        for (SyncConnection *connection : server->findChildren<SyncConnection *>())
            connections << connection;
        QList<QPointer<QTcpSocket>> sockets;
        for (QTcpSocket *socket : server->findChildren<QTcpSocket *>())
            sockets << socket;
        QCOMPARE(sockets.size(), connections.size());

        if (ending == QLatin1String("peer closes") || ending == QLatin1String("peer resets")) {
            closeAll(ending == QLatin1String("peer resets"));
        } else {
            if (ending == QLatin1String("service stops")) {
                server->stop();
            } else {
                delete server;
                server = nullptr;
            }
            for (size_t i = 0; i < clients.size(); ++i)
                QTRY_VERIFY(ended(i));
            closeAll(false);
        }
        auto gone = [](const auto &objects) {
            return std::all_of(objects.begin(), objects.end(), [](const auto &object) { return object.isNull(); });
        };
        QTRY_VERIFY(gone(connections));
        QVERIFY(gone(sockets));
        if (!server)
            return;
        QVERIFY(server->findChildren<SyncConnection *>().isEmpty());
        // The bytes the peers sent were never taken for a request.
        QCOMPARE(db.counts()["items"].toInt(), 0);
        if (server->isRunning())
            QCOMPARE(exchange(port(), requestBytes("GET", "/ping")).status, 200);
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
            QJsonDocument(QJsonObject{{"items", QJsonArray{QJsonObject{{"id", "big"}, {"name", huge}}}}})
                .toJson(QJsonDocument::Compact);
        const QByteArray sqlNames =
            QJsonDocument(QJsonObject{
                              {"items; DROP TABLE items", QJsonArray{QJsonObject{{"id", "evil"}}}},
                              {"items", QJsonArray{QJsonObject{{"id", "x'); DROP TABLE items;--"},
                                                               {"name", "'; DELETE FROM versions;--"}}}},
                          })
                .toJson(QJsonDocument::Compact);
        const QString unusable = QStringLiteral("数据格式无法解析");
        const QString wrongKey = QStringLiteral("密钥不正确");

        QTest::newRow("1 MiB head") << QByteArray("GET /ping HTTP/1.1\r\nX-Pad: " + QByteArray(1 << 20, 'a')
                                                  + "\r\n\r\n")
                                    << 400 << QStringLiteral("请求头过大") << false;
        QTest::newRow("length 2^31") << QByteArray("POST /import HTTP/1.1\r\nContent-Length: 2147483648\r\n\r\n") << 413
                                     << QStringLiteral("请求数据过大") << false;
        QTest::newRow("length 10^12") << QByteArray("POST /import HTTP/1.1\r\nContent-Length: 1000000000000\r\n\r\n")
                                      << 413 << QStringLiteral("请求数据过大") << false;
        QTest::newRow("NUL in key header")
            << requestBytes("GET", "/export", {}, QByteArray("K7PQ\0ZX9ABC", 12)) << 401 << wrongKey << false;
        QTest::newRow("NUL in path") << keyed("GET", QByteArray("/ex\0port", 8)) << 404 << QStringLiteral("not found")
                                     << false;
        QTest::newRow("invalid UTF-8 key header")
            << requestBytes("GET", "/export", {}, "\xff\xfe\xc3") << 401 << wrongKey << false;
        QTest::newRow("NUL and invalid UTF-8 body")
            << keyed("POST", "/import", QByteArray("{\"items\":\0\xff}", 12)) << 200 << unusable << false;
        QTest::newRow("invalid UTF-8 in a string")
            << keyed("POST", "/import", "{\"items\":[{\"id\":\"\xff\xfe\"}]}") << 200 << unusable << false;
        QTest::newRow("nested 100,000 deep")
            << keyed("POST", "/import", "{\"items\":" + deep) << 200 << unusable << false;
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

    // Start-up on a database file that cannot be used: the box names the reason, and no data endpoint
    // serves or takes rows while "/ping" still answers.
};

TOVANIK_TEST_MAIN(SyncTest)
#include "tst_sync.moc"
