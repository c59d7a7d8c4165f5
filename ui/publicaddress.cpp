#include "ui/mainwindow.h"

#include "app/settings.h"

#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPlainTextEdit>
#include <QRegularExpression>

namespace {

// Each answers a plain GET with the caller's IPv4 address in the body.
QList<QUrl> defaultPublicIpServices()
{
    return {QUrl(QStringLiteral("http://ip-api.com/line/?fields=query")), QUrl(QStringLiteral("https://ifconfig.me/ip")),
            QUrl(QStringLiteral("https://api.ipify.org/"))};
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

void MainWindow::setPublicIpServices(const QList<QUrl> &urls)
{
    publicIpServices = urls;
}

void MainWindow::fetchPublicIP()
{
    if (ipLookupBusy)
        return;
    if (!settings::publicHost(config).isEmpty())
        return;
    ipLookupBusy = true;
    appendLog(QStringLiteral("正在自动获取公网 IP…"));
    ipLookup = new QNetworkAccessManager(this);
    tryPublicIpService(0);
}

void MainWindow::tryPublicIpService(int index)
{
    if (publicIpServices.isEmpty())
        publicIpServices = defaultPublicIpServices();

    if (index >= publicIpServices.size()) {
        ipLookupBusy = false;
        logLine(QStringLiteral("  公网 IP 获取失败（网络不可用或接口被拦）"));
        ipLookup->deleteLater();
        ipLookup = nullptr;
        return;
    }

    const QUrl url = publicIpServices.at(index);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("plindor-server/1.0"));
    request.setTransferTimeout(8000);
    QNetworkReply *reply = ipLookup->get(request);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, index, url] { onPublicIpReply(reply, index, url); });
}

void MainWindow::onPublicIpReply(QNetworkReply *reply, int index, const QUrl &url)
{
    reply->deleteLater();
    const bool failed = reply->error() != QNetworkReply::NoError;
    const QString errorText = failed ? reply->errorString() : QString();
    const QString body = QString::fromUtf8(reply->readAll()).trimmed();

    if (failed) {
        logLine(QStringLiteral("  %1 -> 失败: %2").arg(url.toString(), errorText));
        tryPublicIpService(index + 1);
        return;
    }
    logLine(QStringLiteral("  %1 -> %2").arg(url.toString(), body.left(60)));

    static const QRegularExpression addressPattern(
        QStringLiteral("\\b(\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3})\\b"));
    const QRegularExpressionMatch match = addressPattern.match(body);
    if (!match.hasMatch() || isNonPublicAddress(match.captured(1))) {
        tryPublicIpService(index + 1);
        return;
    }
    const QString address = match.captured(1);

    // The operator may have typed an address and saved it while the lookup ran: theirs wins.
    const QString configured = settings::publicHost(config);
    if (configured.isEmpty()) {
        settings::setPublicHost(config, address);
        saveConfig();
        if (publicHostEdit)
            publicHostEdit->setText(address);
        refreshPhonePage();
    }
    ipLookupBusy = false;
    if (configured.isEmpty())
        logLine(QStringLiteral("  ✓ 已获取公网 IP: %1").arg(address));
    else
        logLine(QStringLiteral("  ✓ 已获取公网 IP: %1（已手动设置公网地址 %2，不覆盖）").arg(address, configured));
    ipLookup->deleteLater();
    ipLookup = nullptr;
}
