#include "app/paths.h"
#include "qr/qrcode.h"
#include "sync/localaddress.h"
#include "sync/syncserver.h"
#include "testmain.h"
#include "testutil.h"
#include "ui/mainwindow.h"
#include "ui/phonepage.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Varied ASCII so that every codeword position sees different values.
QString sampleText(int bytes)
{
    static const QString alphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 |:-./");
    QString text;
    for (int i = 0; i < bytes; ++i)
        text.append(alphabet.at((i * 7 + i / 13) % alphabet.size()));
    return text;
}

int readFormatCopy(const QList<QByteArray> &m, int size, bool second)
{
    int word = 0;
    for (int i = 0; i < 15; ++i) {
        int row;
        int column;
        if (!second) {
            if (i <= 5) {
                row = i;
                column = 8;
            } else if (i == 6) {
                row = 7;
                column = 8;
            } else if (i == 7) {
                row = 8;
                column = 8;
            } else if (i == 8) {
                row = 8;
                column = 7;
            } else {
                row = 8;
                column = 14 - i;
            }
        } else if (i <= 7) {
            row = 8;
            column = size - 1 - i;
        } else {
            row = size - 15 + i;
            column = 8;
        }
        word |= (m[row][column] ? 1 : 0) << i;
    }
    return word;
}

// Bit i of the version word sits at (i / 3, size - 11 + i % 3), mirrored for the second copy.
int readVersionCopy(const QList<QByteArray> &m, int size, bool second)
{
    int word = 0;
    for (int i = 0; i < 18; ++i) {
        const int a = size - 11 + i % 3;
        const int b = i / 3;
        const char module = second ? m[a][b] : m[b][a];
        word |= (module ? 1 : 0) << i;
    }
    return word;
}

// Reads the 26 codewords of a version 1 symbol back: unmask, then walk the zigzag over the modules that
// lie outside the finders with their format areas and the timing lines.
QList<int> readVersion1Codewords(const QList<QByteArray> &m)
{
    const int size = 21;
    auto isFunction = [](int r, int c) {
        return (r <= 8 && c <= 8) || (r <= 8 && c >= 13) || (r >= 13 && c <= 8) || r == 6 || c == 6;
    };
    QList<int> bits;
    int pair = 0;
    for (int right = size - 1; right >= 1; right -= 2, ++pair) {
        if (right == 6)
            right = 5;
        for (int step = 0; step < size; ++step) {
            const int r = pair % 2 == 0 ? size - 1 - step : step;
            for (int c : {right, right - 1}) {
                if (!isFunction(r, c))
                    bits.append((m[r][c] ? 1 : 0) ^ ((r + c) % 2 == 0 ? 1 : 0));
            }
        }
    }
    QList<int> codewords;
    for (int i = 0; i + 8 <= bits.size(); i += 8) {
        int value = 0;
        for (int j = 0; j < 8; ++j)
            value = value << 1 | bits[i + j];
        codewords.append(value);
    }
    return codewords;
}

// The message polynomial of a valid block vanishes at 2^0 .. 2^(e-1); checked with log tables,
// unlike the encoder's bitwise arithmetic.
bool syndromesVanish(const QList<int> &block, int ecCount)
{
    int exp[512];
    int log[256] = {};
    int x = 1;
    for (int i = 0; i < 255; ++i) {
        exp[i] = exp[i + 255] = x;
        log[x] = i;
        x <<= 1;
        if (x & 0x100)
            x ^= 0x11D;
    }
    for (int k = 0; k < ecCount; ++k) {
        int sum = 0;
        for (int c : block)
            sum = (sum == 0 ? 0 : exp[log[sum] + k]) ^ c;
        if (sum != 0)
            return false;
    }
    return true;
}

// Byte mode data codewords of version 1 built from nibbles: header, count, bytes, terminator, pad.
QList<int> expectedVersion1Data(const QByteArray &bytes)
{
    QList<int> nibbles{4, int(bytes.size()) >> 4, int(bytes.size()) & 15};
    for (char b : bytes) {
        nibbles.append((static_cast<unsigned char>(b) >> 4) & 15);
        nibbles.append(b & 15);
    }
    if (nibbles.size() < 32)
        nibbles.append(0);
    if (nibbles.size() % 2)
        nibbles.append(0);
    QList<int> codewords;
    for (int i = 0; i < nibbles.size(); i += 2)
        codewords.append(nibbles[i] << 4 | nibbles[i + 1]);
    for (int pad = 0; codewords.size() < 16; ++pad)
        codewords.append(pad % 2 ? 17 : 236);
    return codewords;
}

// zbarimg is Debian's: the Windows build's tests, run under Wine, cannot start it.
bool zbarAvailable()
{
    return !QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty();
}

// Decodes the image with zbar, an encoder-independent reader; raw bytes, no charset guessing.
QByteArray zbarDecode(const QImage &image, bool *ok)
{
    *ok = false;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("code.png"));
    if (!dir.isValid() || !image.save(path))
        return {};
    QProcess zbar;
    zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--nodbus"), QStringLiteral("--raw"), QStringLiteral("-q"),
                                           QStringLiteral("-Sbinary"), path});
    if (!zbar.waitForFinished(30000) || zbar.exitStatus() != QProcess::NormalExit || zbar.exitCode() != 0)
        return {};
    *ok = true;
    return zbar.readAllStandardOutput();
}

const QString wanPlaceholder = QStringLiteral("正在获取公网 IP…\n\n如果一直不显示，\n请到「设置」里手动填公网地址");
const QString keyWarning = QStringLiteral(
    "<span style='color:#E67E22'>⚠ 当前没有设置同步密钥，任何人都能读写数据，请到「设置」里加一个。</span>");

} // namespace

class QrTest : public QObject
{
    Q_OBJECT

private:
    void writeConfig(const QJsonObject &config) { QVERIFY(testutil::resetProgramFolder(config)); }

    // Settings on a free port with a public host set, so that a window started on them detects nothing.
    static QJsonObject defaultSettings()
    {
        return {{"syncPort", testutil::freePort()},
                {"publicHost", "203.0.113.100"},
                {"syncKey", "ABCDEFGHJKLM"},
                {"deviceName", "电脑主库"}};
    }

    void writeDefaultConfig() { writeConfig(defaultSettings()); }

    static QImage expectedCode(const QString &payload)
    {
        return QPixmap::fromImage(renderQrImage(payload, 220))
            .scaled(200, 200, Qt::KeepAspectRatio, Qt::FastTransformation)
            .toImage();
    }

    static void verifyCodeLabel(QLabel *label, const QString &payload)
    {
        QVERIFY(label->text().isEmpty());
        const QImage shown = label->pixmap().toImage();
        QCOMPARE(shown.convertToFormat(QImage::Format_RGB32),
                 expectedCode(payload).convertToFormat(QImage::Format_RGB32));
        if (!zbarAvailable())
            return;
        bool ok = false;
        QCOMPARE(zbarDecode(shown, &ok), payload.toUtf8());
        QVERIFY(ok);
    }

    static QStringList hintLines(QLabel *label) { return label->text().split(QStringLiteral("<br>")); }

private Q_SLOTS:
    void cleanupTestCase() { QFile::remove(configPath()); }

    void decoderReadsEverySymbol_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("version");

        QTest::newRow("empty") << QString() << 1;
        QTest::newRow("14 bytes") << sampleText(14) << 1;
        QTest::newRow("15 bytes") << sampleText(15) << 2;
        QTest::newRow("107 bytes, first with version information") << sampleText(107) << 7;
        QTest::newRow("180 bytes") << sampleText(180) << 9;
        QTest::newRow("181 bytes, 16-bit count") << sampleText(181) << 10;
        QTest::newRow("362 bytes, 9 blocks") << sampleText(362) << 14;
        QTest::newRow("450 bytes") << sampleText(450) << 16;
        QTest::newRow("Chinese, 3 bytes each") << QStringLiteral("库存管理：螺丝与垫片共一百件") << 3;
        QTest::newRow("150 Chinese characters") << QString(150, QChar(0x5E93)) << 16;
        QTest::newRow("connection payload") << QStringLiteral("plindor-master|1|192.168.1.23|9527|ABCDEFGHJKLM") << 4;
    }

    void decoderReadsEverySymbol()
    {
        QFETCH(QString, text);
        QFETCH(int, version);

        int size = 0;
        QList<QByteArray> modules;
        QVERIFY(encodeQrCode(text, size, modules));
        QCOMPARE(size, 4 * version + 17);
        QCOMPARE(modules.size(), size);
        for (const QByteArray &row : std::as_const(modules))
            QCOMPARE(row.size(), size);
        QCOMPARE(readFormatCopy(modules, size, false), 0x5412);
        QCOMPARE(readFormatCopy(modules, size, true), 0x5412);
        QCOMPARE(int(modules[size - 8][8]), 1);

        // zbar reports nothing for a symbol without data; the structure checks above cover it.
        if (text.isEmpty())
            return;
        if (!zbarAvailable())
            QSKIP("zbarimg (Debian's zbar-tools) decodes the symbols on Linux only");
        bool ok = false;
        const QByteArray decoded = zbarDecode(renderQrImage(text, 220), &ok);
        QVERIFY2(ok, "zbarimg found no symbol");
        QCOMPARE(decoded, text.toUtf8());
    }

    void version1CodewordsReadBack_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("13 bytes, one pad") << sampleText(13);
        QTest::newRow("14 bytes, terminator fills the symbol") << sampleText(14);
        QTest::newRow("4 Chinese characters") << QStringLiteral("螺丝垫片");
    }

    void version1CodewordsReadBack()
    {
        QFETCH(QString, text);
        int size = 0;
        QList<QByteArray> modules;
        QVERIFY(encodeQrCode(text, size, modules));
        QCOMPARE(size, 21);
        const QList<int> codewords = readVersion1Codewords(modules);
        QCOMPARE(codewords.size(), 26);
        QCOMPARE(codewords.mid(0, 16), expectedVersion1Data(text.toUtf8()));
        QVERIFY(syndromesVanish(codewords, 10));
    }

    void versionInformation_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("word");
        // The version words as the standard tabulates them.
        QTest::newRow("7") << 7 << 0x07C94;
        QTest::newRow("8") << 8 << 0x085BC;
        QTest::newRow("9") << 9 << 0x09A99;
        QTest::newRow("10") << 10 << 0x0A4D3;
        QTest::newRow("11") << 11 << 0x0BBF6;
        QTest::newRow("12") << 12 << 0x0C762;
        QTest::newRow("13") << 13 << 0x0D847;
        QTest::newRow("14") << 14 << 0x0E60D;
        QTest::newRow("15") << 15 << 0x0F928;
        QTest::newRow("16") << 16 << 0x10B78;
    }

    void versionInformation()
    {
        QFETCH(int, version);
        QFETCH(int, word);
        // largest[v] is the longest text that version v holds; one byte more needs version v + 1.
        static const int largest[] = {0, 14, 26, 42, 62, 84, 106, 122, 152, 180, 213, 251, 287, 331, 362, 412, 450};
        int size = 0;
        QList<QByteArray> modules;
        QVERIFY(encodeQrCode(sampleText(largest[version - 1] + 1), size, modules));
        QCOMPARE(size, 4 * version + 17);
        QCOMPARE(readVersionCopy(modules, size, false), word);
        QCOMPARE(readVersionCopy(modules, size, true), word);

        QVERIFY(encodeQrCode(sampleText(largest[version]), size, modules));
        QCOMPARE(size, 4 * version + 17);
    }

    void tooLongTextFails_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("451 bytes") << sampleText(451);
        QTest::newRow("151 Chinese characters") << QString(151, QChar(0x5E93));
    }

    void tooLongTextFails()
    {
        QFETCH(QString, text);
        int size = 7;
        QList<QByteArray> modules{QByteArray("x")};
        QVERIFY(!encodeQrCode(text, size, modules));
        QCOMPARE(size, 7);
        QCOMPARE(modules, QList<QByteArray>{QByteArray("x")});
        QVERIFY(renderQrImage(text, 220).isNull());
    }

    void imageGeometry_data()
    {
        QTest::addColumn<int>("bytes");
        QTest::addColumn<int>("target");
        QTest::addColumn<int>("side");

        QTest::newRow("version 1") << 14 << 220 << 203;
        QTest::newRow("version 2") << 26 << 220 << 198;
        QTest::newRow("version 3") << 42 << 220 << 185;
        QTest::newRow("version 4") << 62 << 220 << 205;
        QTest::newRow("version 5") << 84 << 220 << 180;
        QTest::newRow("version 16, smallest scale") << 450 << 220 << 178;
        QTest::newRow("tiny target keeps scale 2") << 14 << 10 << 58;
    }

    void imageGeometry()
    {
        QFETCH(int, bytes);
        QFETCH(int, target);
        QFETCH(int, side);

        const QString text = sampleText(bytes);
        int size = 0;
        QList<QByteArray> modules;
        QVERIFY(encodeQrCode(text, size, modules));
        const QImage image = renderQrImage(text, target);
        QCOMPARE(image.format(), QImage::Format_RGB32);
        QCOMPARE(image.width(), side);
        QCOMPARE(image.height(), side);
        QCOMPARE(side % (size + 8), 0);

        const int scale = side / (size + 8);
        for (int py = 0; py < side; ++py) {
            for (int px = 0; px < side; ++px) {
                const int x = px / scale - 4;
                const int y = py / scale - 4;
                const bool dark = x >= 0 && y >= 0 && x < size && y < size && modules[y][x];
                const QRgb pixel = image.pixel(px, py);
                if (pixel != (dark ? 0xFF000000u : 0xFFFFFFFFu))
                    QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is %3").arg(px).arg(py).arg(pixel, 8, 16)));
            }
        }
    }

    void pageShowsBothCodes()
    {
        QJsonObject config = defaultSettings();
        // A 13-character host, a 4-digit port and a 12-character key: 48 bytes, version 4.
        config.insert(QStringLiteral("syncPort"), 8080);
        PhonePage page;
        page.refresh(config, true);

        const QString wanPayload = QStringLiteral("plindor-master|1|203.0.113.100|8080|ABCDEFGHJKLM");
        QCOMPARE(wanPayload.toUtf8().size(), 48);
        int size = 0;
        QList<QByteArray> modules;
        QVERIFY(encodeQrCode(wanPayload, size, modules));
        QCOMPARE(size, 33);
        verifyCodeLabel(page.wanCode(), wanPayload);
        QCOMPARE(page.wanAddress()->text(), QStringLiteral("203.0.113.100:8080"));

        const QString lan = preferredLanAddress();
        verifyCodeLabel(page.lanCode(), QStringLiteral("plindor-master|1|%1|8080|ABCDEFGHJKLM").arg(lan));
        QCOMPARE(page.lanAddress()->text(), lan + QStringLiteral(":8080"));
        QVERIFY(page.lanAddress()->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
        QVERIFY(page.wanAddress()->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
        QCOMPARE(page.lanCode()->size(), QSize(220, 220));

        const QStringList lines = hintLines(page.hint());
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(0), QStringLiteral("打开 App →「数据同步」→ 选「中心主库模式」→ 点「📷 扫主库二维码」。"));
        QCOMPARE(lines.at(1), QStringLiteral("<b>手机和电脑连同一个 WiFi</b> → 扫 <b>内网二维码</b>。"));
        QCOMPARE(lines.at(2),
                 QStringLiteral(
                     "<b>手机在外面用流量</b> → 扫 <b>外网二维码</b>；前提是路由器已把 8080 端口映射到这台电脑。"));
        QCOMPARE(lines.at(3), PhonePage::firewallHint());
        QVERIFY(lines.at(3).contains(QStringLiteral("「专用网络」")));
    }

    void captionsSitOnTheWhiteCard()
    {
        writeDefaultConfig();
        MainWindow window;
        const testutil::WindowParts t(window);
        window.show();
        t.show(MainWindow::Page::Phone);
        QWidget *card = t.phonePage->lanAddress()->parentWidget();
        const QImage shot = card->grab().toImage();
        for (QLabel *label : card->findChildren<QLabel *>()) {
            if (label == t.phonePage->lanCode())
                continue;
            // A corner of each caption lies outside its glyphs: it must show the card, not a grey box.
            const QPoint corner = label->mapTo(card, QPoint(1, 1));
            QCOMPARE(QColor(shot.pixel(corner)).name(), QStringLiteral("#ffffff"));
        }
    }

    void blankPublicHostShowsPlaceholder()
    {
        QJsonObject config = defaultSettings();
        PhonePage page;
        page.refresh(config, true);
        QVERIFY(!page.wanCode()->pixmap().isNull());
        QVERIFY(!page.wanAddress()->text().isEmpty());

        config.insert(QStringLiteral("publicHost"), QStringLiteral("   "));
        page.refresh(config, true);
        QCOMPARE(page.wanCode()->text(), wanPlaceholder);
        QVERIFY(page.wanCode()->pixmap().isNull());
        QVERIFY(page.wanCode()->styleSheet().contains(QStringLiteral("dashed")));
        QVERIFY(page.wanAddress()->text().isEmpty());
        QVERIFY(!page.lanCode()->pixmap().isNull());

        const int port = config.value(QStringLiteral("syncPort")).toInt();
        QCOMPARE(
            hintLines(page.hint()).at(2),
            QStringLiteral("想让手机在外网也能连？到「设置」里填上公网地址/域名，并在路由器做 %1 端口映射。").arg(port));
    }

    void missingKeyWarnsLast_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("empty") << QString();
        // The service trims the key, so blanks check nothing either.
        QTest::newRow("blanks") << QStringLiteral("   ");
    }

    void missingKeyWarnsLast()
    {
        QFETCH(QString, key);
        QJsonObject config = defaultSettings();
        config.insert(QStringLiteral("syncKey"), key);
        PhonePage page;
        page.refresh(config, true);

        const QStringList lines = hintLines(page.hint());
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.last(), keyWarning);
        const int port = config.value(QStringLiteral("syncPort")).toInt();
        verifyCodeLabel(page.wanCode(), QStringLiteral("plindor-master|1|203.0.113.100|%1|").arg(port));
    }

    void paddedKeyTravelsAsTheServiceChecksIt()
    {
        QJsonObject config = defaultSettings();
        config.insert(QStringLiteral("syncKey"), QStringLiteral(" KEY9 "));
        PhonePage page;
        page.refresh(config, true);
        const int port = config.value(QStringLiteral("syncPort")).toInt();
        verifyCodeLabel(page.wanCode(), QStringLiteral("plindor-master|1|203.0.113.100|%1|KEY9").arg(port));
        QCOMPARE(hintLines(page.hint()).size(), 4);
    }

    void captionUsesConfiguredPort_data()
    {
        QTest::addColumn<bool>("stopService");
        QTest::newRow("service running") << false;
        QTest::newRow("service stopped") << true;
    }

    void captionUsesConfiguredPort()
    {
        QFETCH(bool, stopService);
        writeDefaultConfig();
        MainWindow window;
        const testutil::WindowParts t(window);
        QVERIFY(window.isServiceRunning());
        if (stopService)
            t.server->stop();
        const int otherPort = t.server->port() == 4321 ? 4322 : 4321;
        QJsonObject config = window.currentSettings();
        config.insert(QStringLiteral("syncPort"), otherPort);
        t.phonePage->refresh(config, window.isServiceRunning());

        QCOMPARE(t.phonePage->wanAddress()->text(), QStringLiteral("203.0.113.100:%1").arg(otherPort));
        QCOMPARE(t.phonePage->lanAddress()->text(), QStringLiteral("%1:%2").arg(preferredLanAddress()).arg(otherPort));
        verifyCodeLabel(t.phonePage->wanCode(),
                        QStringLiteral("plindor-master|1|203.0.113.100|%1|ABCDEFGHJKLM").arg(otherPort));
    }

    void oversizedPayloadShowsFailure()
    {
        QJsonObject config = defaultSettings();
        const QString host = QStringLiteral("h").repeated(430) + QStringLiteral(".example");
        config.insert(QStringLiteral("publicHost"), host);
        PhonePage page;
        page.refresh(config, true);

        const int port = config.value(QStringLiteral("syncPort")).toInt();
        QCOMPARE(page.wanCode()->text(), QStringLiteral("生成失败"));
        QVERIFY(page.wanCode()->pixmap().isNull());
        QCOMPARE(page.wanAddress()->text(), QStringLiteral("%1:%2").arg(host).arg(port));
        QVERIFY(!page.lanCode()->pixmap().isNull());
    }

    void navigationRefreshesPage()
    {
        writeDefaultConfig();
        MainWindow window;
        const testutil::WindowParts t(window);
        // Emptied behind the page's back: only a refresh fills it again.
        t.phonePage->wanAddress()->clear();
        t.show(MainWindow::Page::Phone);
        QCOMPARE(t.stack->currentWidget(), t.phonePage);
        QVERIFY(t.phonePage->wanAddress()->text().startsWith(QStringLiteral("203.0.113.100:")));
    }
};

TOVANIK_TEST_MAIN(QrTest)
#include "tst_qr.moc"
