#include "ui/phonepage.h"

#include "app/settings.h"
#include "qr/qrcode.h"
#include "sync/localaddress.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

namespace {

const char *const codeStyle = "background:#FFFFFF; border:1px solid #E1E4E8; border-radius:8px;";
const char *const placeholderStyle =
    "background:#F5F6FA; border:1px dashed #CBD5E0; border-radius:8px; color:#95A5A6; font-size:12px;";

} // namespace

PhonePage::PhonePage(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(14);

    auto *title = new QLabel(QStringLiteral("手机连接信息"), this);
    title->setObjectName(QStringLiteral("cardTitle"));
    layout->addWidget(title);

    auto *intro = new QLabel(QStringLiteral("用手机 App →「数据同步」→ 选「中心主库模式」→ 点「📷 扫主库二维码」，"
                                            "对准下面任意一个二维码扫一下，地址、端口、密钥会自动填好。"),
                             this);
    intro->setObjectName(QStringLiteral("muted"));
    intro->setWordWrap(true);
    layout->addWidget(intro);

    serviceStoppedLabel =
        new QLabel(QStringLiteral("⚠ 同步服务已停止，手机现在扫码也连不上。请到「设置」里点「启动同步服务」。"), this);
    serviceStoppedLabel->setObjectName(QStringLiteral("muted"));
    serviceStoppedLabel->setWordWrap(true);
    serviceStoppedLabel->hide();
    layout->addWidget(serviceStoppedLabel);

    auto *cards = new QHBoxLayout;
    cards->setSpacing(16);
    cards->addWidget(makeQrCard(QStringLiteral("内网二维码"), QStringLiteral("手机和电脑连同一个 WiFi 时扫这个"),
                                &lanQrLabel, &lanAddressLabel));
    cards->addWidget(makeQrCard(QStringLiteral("外网二维码"), QStringLiteral("手机用流量、在外面时扫这个"), &wanQrLabel,
                                &wanAddressLabel));
    cards->addStretch();
    layout->addLayout(cards);

    phoneHintLabel = new QLabel(this);
    phoneHintLabel->setObjectName(QStringLiteral("muted"));
    phoneHintLabel->setWordWrap(true);
    phoneHintLabel->setTextFormat(Qt::RichText);
    layout->addWidget(phoneHintLabel);

    layout->addStretch();
}

QFrame *PhonePage::makeQrCard(const QString &title, const QString &hint, QLabel **codeLabel, QLabel **addressLabel)
{
    auto *card = new QFrame(this);
    card->setObjectName(QStringLiteral("card"));
    // The application sheet gives every widget the page grey; captions on the white card would show it as boxes.
    card->setStyleSheet(QStringLiteral("QLabel { background: transparent; }"));
    auto *layout = new QVBoxLayout(card);
    layout->setContentsMargins(22, 18, 22, 18);
    layout->setSpacing(8);

    auto *titleLabel = new QLabel(title, card);
    titleLabel->setStyleSheet(QStringLiteral("font-size:14px; font-weight:bold; color:#2980B9;"));
    titleLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(titleLabel, 0, Qt::AlignHCenter);

    auto *hintLabel = new QLabel(hint, card);
    hintLabel->setObjectName(QStringLiteral("muted"));
    hintLabel->setStyleSheet(QStringLiteral("font-size:11px; color:#5C6672;"));
    hintLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(hintLabel, 0, Qt::AlignHCenter);

    auto *code = new QLabel(card);
    code->setFixedSize(220, 220);
    code->setAlignment(Qt::AlignCenter);
    code->setTextFormat(Qt::PlainText);
    code->setStyleSheet(QString::fromLatin1(codeStyle));
    layout->addWidget(code, 0, Qt::AlignCenter);

    auto *address = new QLabel(card);
    address->setObjectName(QStringLiteral("mono"));
    address->setAlignment(Qt::AlignCenter);
    address->setTextFormat(Qt::PlainText);
    address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(address, 0, Qt::AlignHCenter);

    *codeLabel = code;
    *addressLabel = address;
    return card;
}

void PhonePage::showQrCard(QLabel *codeLabel, QLabel *addressLabel, const QString &host, int port, const QString &key,
                           const QString &placeholder)
{
    if (host.isEmpty()) {
        codeLabel->clear();
        codeLabel->setText(placeholder);
        codeLabel->setStyleSheet(QString::fromLatin1(placeholderStyle));
        addressLabel->clear();
        return;
    }

    codeLabel->setStyleSheet(QString::fromLatin1(codeStyle));
    // The caption always names the current host, so a failed code never sits above a stale address.
    addressLabel->setText(QStringLiteral("%1:%2").arg(host, QString::number(port)));

    const QImage image =
        renderQrImage(QStringLiteral("plindor-master|1|%1|%2|%3").arg(host, QString::number(port), key), 220);
    if (image.isNull()) {
        codeLabel->setText(QStringLiteral("生成失败"));
        return;
    }
    codeLabel->setText(QString());
    codeLabel->setPixmap(QPixmap::fromImage(image).scaled(200, 200, Qt::KeepAspectRatio, Qt::FastTransformation));
}

QString PhonePage::firewallHint()
{
    return QStringLiteral(
        "手机连不上？Windows 防火墙问起时要点「允许访问」并勾选「专用网络」；当时点了取消的，到「控制面板 → "
        "Windows Defender 防火墙 → 允许应用通过防火墙」给 tovanik 勾上「专用网络」。");
}

void PhonePage::refresh(const QJsonObject &config, bool serviceRunning)
{
    serviceStoppedLabel->setVisible(!serviceRunning);

    const int port = settings::port(config);
    // The service compares against the trimmed key, so the phone must be handed that same key.
    const QString key = settings::key(config);
    const QString publicHost = settings::publicHost(config);

    showQrCard(lanQrLabel, lanAddressLabel, preferredLanAddress(), port, key, QStringLiteral("未检测到局域网地址"));
    showQrCard(wanQrLabel, wanAddressLabel, publicHost, port, key,
               QStringLiteral("正在获取公网 IP…\n\n如果一直不显示，\n请到「设置」里手动填公网地址"));

    QStringList lines{
        QStringLiteral("打开 App →「数据同步」→ 选「中心主库模式」→ 点「📷 扫主库二维码」。"),
        QStringLiteral("<b>手机和电脑连同一个 WiFi</b> → 扫 <b>内网二维码</b>。"),
    };
    if (!publicHost.isEmpty())
        lines << QStringLiteral(
                     "<b>手机在外面用流量</b> → 扫 <b>外网二维码</b>；前提是路由器已把 %1 端口映射到这台电脑。")
                     .arg(port);
    else
        lines << QStringLiteral("想让手机在外网也能连？到「设置」里填上公网地址/域名，并在路由器做 %1 端口映射。")
                     .arg(port);
    // Windows blocks the service until the operator allows it, in the box it shows at the first start.
    lines << firewallHint();
    if (key.isEmpty())
        lines << QStringLiteral(
            "<span style='color:#E67E22'>⚠ 当前没有设置同步密钥，任何人都能读写数据，请到「设置」里加一个。</span>");
    phoneHintLabel->setText(lines.join(QStringLiteral("<br>")));
}
