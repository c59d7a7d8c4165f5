#include "ui/historypage.h"

#include "storage/database.h"
#include "storage/diskspace.h"
#include "storage/storagethread.h"
#include "ui/destructivequestion.h"
#include "ui/restoredialog.h"
#include "ui/versioncomparedialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const int versionListLimit = 200;

QString versionSourceLabel(const QString &source)
{
    if (source == QLatin1String("qt") || source == QLatin1String("qt-ui"))
        return QStringLiteral("本机界面");
    if (source == QLatin1String("web"))
        return QStringLiteral("网页端");
    if (source == QLatin1String("system"))
        return QStringLiteral("系统");
    if (source.isEmpty())
        return QStringLiteral("—");
    return source;
}

} // namespace

HistoryPage::HistoryPage(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(12);

    auto *title = new QLabel(QStringLiteral("历史版本"), this);
    title->setObjectName(QStringLiteral("cardTitle"));
    layout->addWidget(title);

    auto *actions = new QHBoxLayout;
    auto *snapshotButton = new QPushButton(QStringLiteral("立即存档一个版本"), this);
    connect(snapshotButton, &QPushButton::clicked, this, &HistoryPage::onMakeSnapshot);
    actions->addWidget(snapshotButton);
    auto *rollbackButton = new QPushButton(QStringLiteral("回滚到选中版本"), this);
    rollbackButton->setObjectName(QStringLiteral("danger"));
    connect(rollbackButton, &QPushButton::clicked, this, &HistoryPage::onRollback);
    actions->addWidget(rollbackButton);
    auto *compareButton = new QPushButton(QStringLiteral("查看改动"), this);
    compareButton->setObjectName(QStringLiteral("plain"));
    connect(compareButton, &QPushButton::clicked, this, &HistoryPage::onCompare);
    actions->addWidget(compareButton);
    auto *restoreButton = new QPushButton(QStringLiteral("从备份恢复…"), this);
    restoreButton->setObjectName(QStringLiteral("plain"));
    connect(restoreButton, &QPushButton::clicked, this, &HistoryPage::onRestoreBackup);
    actions->addWidget(restoreButton);
    hint = new QLabel(this);
    showKeptVersions(200);
    hint->setObjectName(QStringLiteral("muted"));
    actions->addWidget(hint, 1);
    layout->addLayout(actions);

    versionsTable = new QTableWidget(0, 6, this);
    versionsTable->setHorizontalHeaderLabels({QStringLiteral("版本"), QStringLiteral("时间"), QStringLiteral("原因"),
                                              QStringLiteral("来源"), QStringLiteral("物品"), QStringLiteral("流水")});
    versionsTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    versionsTable->setSelectionMode(QAbstractItemView::SingleSelection);
    versionsTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    versionsTable->verticalHeader()->setVisible(false);
    versionsTable->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(versionsTable, 1);
}

void HistoryPage::refresh()
{
    // The selection follows the version, not the row it stood on: a new version pushes every row down.
    const QTableWidgetItem *selected =
        versionsTable->currentRow() >= 0 ? versionsTable->item(versionsTable->currentRow(), 0) : nullptr;
    const QString selectedVersion = selected ? selected->text() : QString();
    const QList<VersionInfo> versions = Database::instance().listVersions(versionListLimit);
    versionsTable->setCurrentItem(nullptr);
    versionsTable->clearSelection();
    versionsTable->setRowCount(versions.size());
    for (int row = 0; row < versions.size(); ++row) {
        const VersionInfo &v = versions.at(row);
        const QStringList cells{QStringLiteral("#%1").arg(v.id),
                                v.createdAt,
                                v.reason,
                                versionSourceLabel(v.source),
                                QString::number(v.counts.value(QStringLiteral("items")).toInt()),
                                QString::number(v.counts.value(QStringLiteral("transactions")).toInt())};
        for (int column = 0; column < cells.size(); ++column)
            versionsTable->setItem(row, column, new QTableWidgetItem(cells.at(column)));
    }
    // Column by column and the last one left out: resizeColumnsToContents() would undo its stretch until the next resize.
    for (int column = 0; column < versionsTable->columnCount() - 1; ++column)
        versionsTable->resizeColumnToContents(column);
    for (int row = 0; !selectedVersion.isEmpty() && row < versionsTable->rowCount(); ++row) {
        if (versionsTable->item(row, 0)->text() == selectedVersion) {
            versionsTable->selectRow(row);
            break;
        }
    }
}

void HistoryPage::showKeptVersions(int kept)
{
    hint->setText(QStringLiteral("每次手机推送、界面改动前都会自动存档，最多保留 %1 个").arg(kept));
}

void HistoryPage::setWorking(bool working)
{
    if (working)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
}

void HistoryPage::onMakeSnapshot()
{
    struct Snapshot
    {
        bool saved = false;
        QString error;
    };
    setWorking(true);
    StorageThread::run(
        storage, this,
        [] {
            Snapshot snapshot;
            snapshot.saved = Database::instance().saveVersion(QStringLiteral("界面手动存档"), QStringLiteral("qt-ui"),
                                                              &snapshot.error);
            return snapshot;
        },
        [this](const Snapshot &snapshot) {
            setWorking(false);
            refresh();
            // A failed store must not be announced as saved: the operator would rely on a version that
            // does not exist.
            if (snapshot.saved)
                QMessageBox::information(this, QStringLiteral("已存档"), QStringLiteral("已保存一个历史版本"));
            else if (diskspace::isShortage(snapshot.error))
                QMessageBox::warning(this, QStringLiteral("失败"), QStringLiteral("存档失败：\n") + snapshot.error);
            else
                QMessageBox::warning(this, QStringLiteral("失败"), QStringLiteral("存档失败"));
        });
}

int HistoryPage::selectedVersion()
{
    const int row = versionsTable->currentRow();
    const QTableWidgetItem *idItem = row >= 0 ? versionsTable->item(row, 0) : nullptr;
    if (!idItem) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("请先选中一个版本"));
        return 0;
    }
    return idItem->text().mid(1).toInt();
}

void HistoryPage::onCompare()
{
    if (const int id = selectedVersion()) {
        VersionCompareDialog *dialog = VersionCompareDialog::openFor(id, storage, this);
        connect(dialog, &VersionCompareDialog::restored, this, &HistoryPage::rolledBack);
    }
}

void HistoryPage::onRollback()
{
    const int id = selectedVersion();
    if (!id)
        return;

    if (!askDestructiveQuestion(
            this, QStringLiteral("确认回滚"),
            QStringLiteral("确定回滚到版本 #%1 吗？\n\n当前数据会先自动存一份，回滚后手机同步下来就会变回这一版。")
                .arg(id)))
        return;

    struct Rollback
    {
        bool done = false;
        QString error;
    };
    setWorking(true);
    StorageThread::run(
        storage, this,
        [id] {
            Rollback rollback;
            Database &db = Database::instance();
            rollback.done = db.rollbackTo(id, QStringLiteral("qt-ui"), &rollback.error);
            if (rollback.done)
                db.logSync(QStringLiteral("qt-ui"), QStringLiteral("回滚"), QStringLiteral("回滚到版本 #%1").arg(id));
            return rollback;
        },
        [this, id](const Rollback &rollback) {
            setWorking(false);
            if (!rollback.done) {
                QMessageBox::warning(this, QStringLiteral("失败"),
                                     rollback.error.isEmpty() ? QStringLiteral("回滚失败")
                                                              : QStringLiteral("回滚失败：") + rollback.error);
                return;
            }
            // The pages show the rolled-back rows behind the box.
            Q_EMIT rolledBack();
            QMessageBox::information(this, QStringLiteral("已回滚"), QStringLiteral("已回滚到版本 #%1").arg(id));
        });
}

void HistoryPage::onRestoreBackup()
{
    Database &db = Database::instance();
    // A database that failed its check is closed, and restoring is what mends it: only a database that
    // was never located has no backup folder.
    if (db.fileName().isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("失败"), QStringLiteral("数据库没有打开，无法恢复"));
        return;
    }
    RestoreDialog dialog(db.backupFolder(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString name = QFileInfo(dialog.chosenFile()).fileName();
    if (!askDestructiveQuestion(
            this, QStringLiteral("确认恢复"),
            QStringLiteral("确定从备份 %1 恢复吗？\n\n当前数据库会先另存到备份文件夹（plindor-恢复前-日期-时间.db），"
                           "然后整个换成这个备份的内容：备份之后的改动和历史版本都只留在另存的文件里。"
                           "恢复期间手机的同步请求会被拒绝，稍后重试即可。")
                .arg(name)))
        return;
    Q_EMIT restoreRequested(dialog.chosenFile());
}
