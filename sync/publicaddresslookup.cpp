#include "sync/publicaddresslookup.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

namespace {

// Each answers a plain GET with the caller's IPv4 address in the body.
QList<QUrl> defaultPublicIpServices()
{
    return {QUrl(QStringLiteral("http://ip-api.com/line/?fields=query")),
            QUrl(QStringLiteral("https://ifconfig.me/ip")), QUrl(QStringLiteral("https://api.ipify.org/"))};
}

// What the echo answered when the request went out from inside the LAN, or from this machine itself.
bool isNonPublicAddress(const QString &address)
{
    static const QStringList prefixes{QStringLiteral("127."), QStringLiteral("10."), QStringLiteral("192.168."),
                                      QStringLiteral("169.254.")};
    for (const QString &prefix : prefixes) {
        if (address.startsWith(prefix))
            return true;
    }
    return false;
}

} // namespace

PublicAddressLookup::PublicAddressLookup(QObject *parent)
    : QObject(parent)
{
}

void PublicAddressLookup::setServices(const QList<QUrl> &urls)
{
    services = urls;
}

void PublicAddressLookup::start()
{
    busy = true;
    network = new QNetworkAccessManager(this);
    tryService(0);
}

void PublicAddressLookup::tryService(int index)
{
    if (services.isEmpty())
        services = defaultPublicIpServices();

    if (index >= services.size()) {
        finish();
        Q_EMIT logLine(QStringLiteral("  公网 IP 获取失败（网络不可用或接口被拦）"));
        return;
    }

    const QUrl url = services.at(index);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("plindor-server/1.0"));
    request.setTransferTimeout(8000);
    QNetworkReply *reply = network->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, index, url] { onReply(reply, index, url); });
}

void PublicAddressLookup::onReply(QNetworkReply *reply, int index, const QUrl &url)
{
    reply->deleteLater();
    const bool failed = reply->error() != QNetworkReply::NoError;
    const QString errorText = failed ? reply->errorString() : QString();
    const QString body = QString::fromUtf8(reply->readAll()).trimmed();

    if (failed) {
        Q_EMIT logLine(QStringLiteral("  %1 -> 失败: %2").arg(url.toString(), errorText));
        tryService(index + 1);
        return;
    }
    Q_EMIT logLine(QStringLiteral("  %1 -> %2").arg(url.toString(), body.left(60)));

    static const QRegularExpression addressPattern(QStringLiteral("\\b(\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3})\\b"));
    const QRegularExpressionMatch match = addressPattern.match(body);
    if (!match.hasMatch() || isNonPublicAddress(match.captured(1))) {
        tryService(index + 1);
        return;
    }
    finish();
    Q_EMIT found(match.captured(1));
}

void PublicAddressLookup::finish()
{
    busy = false;
    network->deleteLater();
    network = nullptr;
}
