#pragma once

#include "testnet.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QtTest>

// Reading the sync service's answers over a real socket, as a phone does.
namespace testutil {

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
    bool continued = false; // a "100 Continue" came before the answer
    bool reset = false; // the connection ended in a reset instead of a close

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

extern const QByteArray continueLine;

void parseReply(Reply &reply);

// Sends the pieces with a pause between them, then collects everything until the server closes. A
// source address (another of 127.0.0.0/8, say) makes the request come from there.
Reply exchange(quint16 port, const QList<QByteArray> &pieces, int gapMs = 0,
               const QHostAddress &host = QHostAddress(QHostAddress::LocalHost),
               const QHostAddress &source = QHostAddress());
Reply exchange(quint16 port, const QByteArray &request);

QByteArray requestBytes(const QByteArray &method, const QByteArray &path, const QByteArray &body = {},
                        const QByteArray &key = {});

// Every answer is one framed response that the server closes.
void verifyFraming(const Reply &reply);

} // namespace testutil
