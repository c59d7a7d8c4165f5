#include "app/programcore.h"

#include "app/paths.h"
#include "app/settings.h"
#include "storage/database.h"
#include "storage/diskspace.h"
#include "storage/readsession.h"
#include "storage/storagethread.h"
#include "sync/localaddress.h"
#include "sync/publicaddresslookup.h"
#include "sync/syncserver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

namespace {

// How long closing waits for phones to read the answers of their finished requests.
constexpr int answerFlushMs = 5000;
// Readings of phones that still run when a restore begins.
constexpr int restoreWaitForReadersMs = 60000;

} // namespace

ProgramCore::ProgramCore(QObject *parent)
    : QObject(parent)
{
    writer = new StorageThread(this);
    server = new SyncServer(this);
    server->setStorage(writer);
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
    // Gone without shutDown(): what is half destroyed around it gets no results, but the writes asked
    // still end and the database is closed cleanly.
    if (!shuttingDown)
        finish();
}

void ProgramCore::start()
{
    started = true;
    loadSettings();
    Database::instance().setWriterThread(writer);
    // Phones asking for data meanwhile wait for the opening's checks, not for the backup after it.
    server->setOpening(true);
    openDatabase();

    startService();
    Q_EMIT serviceChanged();
    statusTimer->start(15000);
    QTimer::singleShot(800, this, &ProgramCore::fetchPublicAddress);
}

void ProgramCore::openDatabase()
{
    struct Opening
    {
        bool opened = false;
        QString error;
        qint64 backupBytes = -1;
        Retention retention;
    };
    const QString path = databasePath();
    const int keepVersions = settings::keepVersions(config);
    const int keepBackups = settings::keepBackups(config);
    writer->post(
        this,
        [path, keepVersions, keepBackups] {
            Opening opening;
            Database &db = Database::instance();
            opening.opened = db.open(path, &opening.error);
            if (opening.opened)
                opening.retention = db.setRetention(keepVersions, keepBackups);
            if (opening.opened && db.dailyBackupDue())
                opening.backupBytes = QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
            return opening;
        },
        [this](const Opening &opening) {
            opened = true;
            server->setOpening(false);
            if (!opening.opened)
                Q_EMIT startupFault(QStringLiteral("数据库打开失败"), opening.error);
            else
                logRetention(opening.retention);
            if (opening.backupBytes >= 0)
                Q_EMIT backupStarting(opening.backupBytes);
            Q_EMIT databaseReady();
        });

    // The first write after the opening: a push that arrives meanwhile waits behind it.
    struct Backup
    {
        QString file;
        QStringList notes;
    };
    writer->post(
        this,
        [] {
            Backup backup;
            backup.file = Database::instance().dailyBackup(&backup.notes);
            return backup;
        },
        [this](const Backup &backup) {
            if (!backup.file.isEmpty() && QFile::exists(backup.file))
                log(QStringLiteral("已自动备份数据库到: %1").arg(backup.file));
            for (const QString &note : backup.notes)
                log(note);
            Q_EMIT backupFinished();
            refreshStorage();
            noteVersionSizes();
            // A warning has just said them.
            if (!storageWarned)
                log(QStringLiteral("存储空间：%1").arg(figures.summary()));
        });
}

bool ProgramCore::isBusy() const
{
    return !writer->isIdle() || server->hasAnswersOutstanding();
}

void ProgramCore::shutDown()
{
    if (shuttingDown)
        return;
    shuttingDown = true;
    statusTimer->stop();
    server->stopListening();
    // Every write asked so far ends, and the phones that asked get their answers: a push is either
    // stored and acknowledged, or neither.
    QElapsedTimer flushing;
    while (isBusy()) {
        if (writer->isIdle()) {
            if (!flushing.isValid())
                flushing.start();
            if (flushing.hasExpired(answerFlushMs))
                break;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    finish();
}

void ProgramCore::finish()
{
    shuttingDown = true;
    server->stop();
    Database &db = Database::instance();
    // The last connection to close takes the log with it: the readers go first.
    db.closeReading();
    writer->post([] { Database::instance().close(); });
    writer->waitForIdle();
    db.setWriterThread(nullptr);
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
    result.written = settings::write(configPath(), config, &result.writeError);

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

void ProgramCore::restoreBackup(const QString &file, const RestoreProgress &progress, const RestoreDone &done)
{
    const QString name = QFileInfo(file).fileName();
    replaceFile(
        QStringLiteral("主库正在从备份恢复，请稍后再试"),
        [file, name](const Progress &report) {
            FileJob restore;
            Database &db = Database::instance();
            restore.done = db.restoreFrom(file, &restore.path, &restore.error, report);
            if (restore.done)
                db.logSync(QStringLiteral("qt-ui"), QStringLiteral("恢复"), QStringLiteral("从备份 %1 恢复").arg(name));
            return restore;
        },
        progress,
        [this, name, done](const FileJob &restore) {
            if (restore.done) {
                log(QStringLiteral("已从备份 %1 恢复数据库，原数据库另存为 %2").arg(name, restore.path));
                noteVersionSizes();
            } else {
                log(QStringLiteral("从备份 %1 恢复失败: %2").arg(name, restore.error));
            }
            if (done)
                done(restore.done, restore.path, restore.error);
        });
}

void ProgramCore::noteVersionSizes()
{
    writer->post(
        this, [] { return Database::instance().noteVersionSizes(4); },
        [this](int noted) {
            if (noted <= 0 || shuttingDown)
                return;
            refreshStorage();
            noteVersionSizes();
        });
}

void ProgramCore::refreshStorage()
{
    // File sizes, page counts and the number of versions, read on this thread's own connection.
    if (!opened)
        return;
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

void ProgramCore::setRetention(int keepVersions, int keepBackups, const std::function<void(const Retention &)> &done)
{
    settings::setRetention(config, keepVersions, keepBackups);
    saveSettingsFile();
    writer->post(
        this, [keepVersions, keepBackups] { return Database::instance().setRetention(keepVersions, keepBackups); },
        [this, done](const Retention &removed) {
            logRetention(removed);
            refreshStorage();
            if (done)
                done(removed);
        });
}

void ProgramCore::logRetention(const Retention &done)
{
    if (done.versions > 0 || done.backups > 0)
        log(QStringLiteral("保留 %1 个版本、%2 份备份：删除了最早的 %3 个版本和 %4 份备份")
                .arg(settings::keepVersions(config))
                .arg(settings::keepBackups(config))
                .arg(done.versions)
                .arg(done.backups));
    if (!done.error.isEmpty())
        log(QStringLiteral("删除旧版本失败: %1").arg(done.error));
}

void ProgramCore::replaceFile(const QString &refusal, std::function<FileJob(const Progress &)> job,
                              const Progress &progress, std::function<void(const FileJob &)> done)
{
    // Phones are told to come back later instead of writing into a database whose file is being replaced,
    // and nothing reads the file meanwhile: every reader opens the new one afterwards.
    server->setRefusal(refusal);
    statusTimer->stop();
    ReadSession::hold();
    Database::instance().closeReading();

    QPointer<ProgramCore> self(this);
    const auto report = [self, progress](const QString &stage, qint64 doneBytes, qint64 total) {
        QMetaObject::invokeMethod(
            self.data(),
            [self, progress, stage, doneBytes, total] {
                if (self && progress)
                    progress(stage, doneBytes, total);
            },
            Qt::QueuedConnection);
    };
    writer->post(
        this,
        [job = std::move(job), report] {
            if (!ReadSession::waitForRunning(restoreWaitForReadersMs)) {
                FileJob busy;
                busy.error = QStringLiteral("手机还在读取主库，请稍后再试");
                return busy;
            }
            return job(report);
        },
        [this, done = std::move(done)](const FileJob &result) {
            ReadSession::release();
            server->setRefusal(QString());
            statusTimer->start();
            done(result);
            refreshStorage();
        });
}

void ProgramCore::compactDatabase(const CompactProgress &progress, const CompactDone &done)
{
    replaceFile(
        QStringLiteral("主库正在压缩数据库，请稍后再试"),
        [](const Progress &report) {
            FileJob compaction;
            compaction.done =
                Database::instance().compact(&compaction.before, &compaction.after, &compaction.error, report);
            return compaction;
        },
        progress,
        [this, done](const FileJob &compaction) {
            if (compaction.done)
                log(QStringLiteral("已压缩数据库：%1 → %2")
                        .arg(diskspace::formatSize(compaction.before), diskspace::formatSize(compaction.after)));
            else
                log(QStringLiteral("压缩数据库失败: %1").arg(compaction.error));
            if (done)
                done(compaction.done, compaction.before, compaction.after, compaction.error);
        });
}
