#include "app/programcore.h"

#include "app/paths.h"
#include "app/settings.h"
#include "storage/database.h"
#include "storage/diskspace.h"
#include "sync/localaddress.h"
#include "sync/publicaddresslookup.h"
#include "sync/syncserver.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

ProgramCore::ProgramCore(QObject *parent)
    : QObject(parent)
{
    server = new SyncServer(this);
    connect(server, &SyncServer::logMessage, this, &ProgramCore::log);
    publicAddress = new PublicAddressLookup(this);
    connect(publicAddress, &PublicAddressLookup::logLine, this, &ProgramCore::logLine);
    connect(publicAddress, &PublicAddressLookup::found, this, &ProgramCore::onPublicAddressFound);
    statusTimer = new QTimer(this);
    statusTimer->setObjectName(QStringLiteral("refreshTimer"));
    connect(statusTimer, &QTimer::timeout, this, &ProgramCore::statusDue);
    connect(statusTimer, &QTimer::timeout, this, &ProgramCore::refreshStorage);
    // After a phone's request, once for a burst of them.
    storageRefresh = new QTimer(this);
    storageRefresh->setSingleShot(true);
    storageRefresh->setInterval(0);
    connect(storageRefresh, &QTimer::timeout, this, &ProgramCore::refreshStorage);
    connect(server, &SyncServer::activity, storageRefresh, qOverload<>(&QTimer::start));
}

ProgramCore::~ProgramCore()
{
    server->stop();
    Database::instance().close();
}

void ProgramCore::start()
{
    started = true;
    loadSettings();

    QString error;
    Database &db = Database::instance();
    if (db.open(databasePath(), &error)) {
        applyRetention();
        if (db.dailyBackupDue()) {
            const QFileInfo file(databasePath());
            const QFileInfo wal(databasePath() + QStringLiteral("-wal"));
            Q_EMIT backupStarting(file.size() + wal.size());
        }
        QStringList notes;
        const QString backup = db.dailyBackup(&notes);
        if (!backup.isEmpty() && QFile::exists(backup))
            log(QStringLiteral("已自动备份数据库到: %1").arg(backup));
        for (const QString &note : notes)
            log(note);
    } else {
        Q_EMIT startupFault(QStringLiteral("数据库打开失败"), error);
    }

    refreshStorage();
    // A warning has just said them.
    if (!storageWarned)
        log(QStringLiteral("存储空间：%1").arg(figures.summary()));

    startService();
    Q_EMIT serviceChanged();
    statusTimer->start(15000);
    QTimer::singleShot(800, this, &ProgramCore::fetchPublicAddress);
}

QString ProgramCore::phoneConnectionText() const
{
    const QString key = settings::key(config);
    const QString publicHost = settings::publicHost(config);
    QString text = QStringLiteral("手机连接：内网地址 %1，端口 %2，同步密钥 %3")
                       .arg(preferredLanAddress(), QString::number(settings::port(config)),
                            key.isEmpty() ? QStringLiteral("（未设置）") : key);
    if (!publicHost.isEmpty())
        text += QStringLiteral("，外网地址 %1").arg(publicHost);
    if (!serviceRunning)
        text += QStringLiteral("（同步服务未运行）");
    return text;
}

void ProgramCore::log(const QString &text)
{
    logLine(QStringLiteral("[%1] %2").arg(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")), text));
}

void ProgramCore::logLine(const QString &line)
{
    logLines.append(line);
    Q_EMIT logged(line);
}

void ProgramCore::loadSettings()
{
    config = settings::read(configPath());
    if (config.isEmpty()) {
        config = settings::firstRun();
        saveSettingsFile();
    }
    if (settings::storedKey(config).isEmpty())
        newKey();

    const QString outOfRange = settings::portOutOfRange(config);
    if (!outOfRange.isEmpty())
        log(QStringLiteral("配置文件里的同步端口 %1 不在 1 - 65535 之间，改用 9527").arg(outOfRange));
}

void ProgramCore::saveSettingsFile()
{
    // Nobody asked for this write, so the log is the only place the operator can learn it failed.
    if (!settings::write(configPath(), config))
        log(QStringLiteral("配置文件写入失败，设置只在本次运行中有效: %1").arg(configPath()));
}

QString ProgramCore::newKey()
{
    const QString key = settings::newKey();
    settings::setKey(config, key);
    server->setKey(key.trimmed());
    if (settings::namesPort(config))
        saveSettingsFile();
    return key;
}

void ProgramCore::startService()
{
    server->setKey(settings::key(config));
    server->setDeviceName(settings::deviceName(config));
    serviceRunning = server->start(static_cast<quint16>(settings::port(config)));
}

void ProgramCore::restartService()
{
    server->stop();
    startService();
    Q_EMIT serviceChanged();
}

void ProgramCore::toggleService()
{
    if (serviceRunning) {
        server->stop();
        serviceRunning = false;
        log(QStringLiteral("[同步服务] 已停止"));
    } else {
        startService();
    }
    Q_EMIT serviceChanged();
}

ProgramCore::SaveResult ProgramCore::saveSettings(const QString &key, const QString &name, int port,
                                                  const QString &publicHost)
{
    const int previousPort = settings::port(config);
    settings::save(config, key, name, port, publicHost);
    SaveResult result;
    result.written = settings::write(configPath(), config);

    server->setKey(key);
    server->setDeviceName(settings::deviceName(config));
    if (port != previousPort) {
        server->stop();
        startService();
    }
    if (!serviceRunning)
        result.startError = server->startError();
    Q_EMIT serviceChanged();
    return result;
}

void ProgramCore::detectPublicHostAgain()
{
    settings::setPublicHost(config, QString());
    fetchPublicAddress();
}

void ProgramCore::fetchPublicAddress()
{
    if (publicAddress->isBusy() || !settings::publicHost(config).isEmpty())
        return;
    log(QStringLiteral("正在自动获取公网 IP…"));
    publicAddress->start();
}

void ProgramCore::onPublicAddressFound(const QString &address)
{
    // The operator may have typed an address and saved it while the lookup ran: theirs wins.
    const QString configured = settings::publicHost(config);
    if (configured.isEmpty()) {
        settings::setPublicHost(config, address);
        saveSettingsFile();
        logLine(QStringLiteral("  ✓ 已获取公网 IP: %1").arg(address));
        Q_EMIT publicHostFound(address);
    } else {
        logLine(QStringLiteral("  ✓ 已获取公网 IP: %1（已手动设置公网地址 %2，不覆盖）").arg(address, configured));
    }
}

bool ProgramCore::restoreBackup(const QString &file, QString *setAside, QString *error, const RestoreProgress &progress)
{
    const QString name = QFileInfo(file).fileName();
    // Phones are told to come back later instead of writing into a database that is being replaced.
    server->setRefusal(QStringLiteral("主库正在从备份恢复，请稍后再试"));
    statusTimer->stop();
    const bool restored = Database::instance().restoreFrom(file, setAside, error, progress);
    server->setRefusal(QString());
    statusTimer->start();
    if (!restored) {
        log(QStringLiteral("从备份 %1 恢复失败: %2").arg(name, *error));
        return false;
    }
    Database::instance().logSync(QStringLiteral("qt-ui"), QStringLiteral("恢复"),
                                 QStringLiteral("从备份 %1 恢复").arg(name));
    log(QStringLiteral("已从备份 %1 恢复数据库，原数据库另存为 %2").arg(name, *setAside));
    return true;
}

void ProgramCore::refreshStorage()
{
    figures = Database::instance().storageFigures();
    if (figures.warning() != storageWarned)
        onWarningLevelCrossed();
    Q_EMIT storageChanged();
}

void ProgramCore::onWarningLevelCrossed()
{
    storageWarned = figures.warning();
    if (storageWarned) {
        const QString text =
            QStringLiteral("磁盘剩余空间不多了：剩余 %1，按每次改动约 %2 算，只够再保存约 %3 次改动。"
                           "请清理磁盘，或在“设置”页减少保留的版本数和备份数，再点“压缩数据库”。")
                .arg(diskspace::formatSize(figures.available), diskspace::formatSize(figures.nextVersionBytes))
                .arg(figures.changesThatFit());
        log(text);
        log(QStringLiteral("存储空间：%1").arg(figures.summary()));
        Q_EMIT storageWarning(text);
    } else {
        log(QStringLiteral("磁盘空间已够用：%1").arg(figures.summary()));
    }
}

Retention ProgramCore::retentionPlan(int keepVersions, int keepBackups) const
{
    return Database::instance().retentionPlan(keepVersions, keepBackups);
}

Retention ProgramCore::setRetention(int keepVersions, int keepBackups)
{
    settings::setRetention(config, keepVersions, keepBackups);
    saveSettingsFile();
    const Retention done = applyRetention();
    refreshStorage();
    return done;
}

Retention ProgramCore::applyRetention()
{
    const Retention done =
        Database::instance().setRetention(settings::keepVersions(config), settings::keepBackups(config));
    if (done.versions > 0 || done.backups > 0)
        log(QStringLiteral("保留 %1 个版本、%2 份备份：删除了最早的 %3 个版本和 %4 份备份")
                .arg(settings::keepVersions(config))
                .arg(settings::keepBackups(config))
                .arg(done.versions)
                .arg(done.backups));
    if (!done.error.isEmpty())
        log(QStringLiteral("删除旧版本失败: %1").arg(done.error));
    return done;
}

bool ProgramCore::compactDatabase(qint64 *before, qint64 *after, QString *error, const CompactProgress &progress)
{
    server->setRefusal(QStringLiteral("主库正在压缩数据库，请稍后再试"));
    statusTimer->stop();
    const bool compacted = Database::instance().compact(before, after, error, progress);
    server->setRefusal(QString());
    statusTimer->start();
    if (compacted)
        log(QStringLiteral("已压缩数据库：%1 → %2").arg(diskspace::formatSize(*before), diskspace::formatSize(*after)));
    else
        log(QStringLiteral("压缩数据库失败: %1").arg(*error));
    refreshStorage();
    return compacted;
}
