#include "ui/versioncomparedialog.h"

#include "catalogue/catalogue.h"
#include "storage/database.h"
#include "storage/handoff.h"
#include "storage/restoreplanner.h"
#include "storage/storagethread.h"
#include "ui/destructivequestion.h"
#include "ui/versiondiffmodel.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QThread>
#include <QVBoxLayout>

#include <utility>

namespace {

// How many dangling rows the question names before it only counts the rest.
const int namedRows = 8;

QString danglingText(const QList<DanglingRow> &rows)
{
    QStringList names;
    for (int i = 0; i < rows.size() && i < namedRows; ++i)
        names << QStringLiteral("%1「%2」").arg(findTable(rows.at(i).table)->label, rows.at(i).name);
    QString text = names.join(QStringLiteral("、"));
    if (rows.size() > namedRows)
        text += QStringLiteral(" 等 %1 行").arg(rows.size());
    return text;
}

} // namespace

VersionCompareDialog::VersionCompareDialog(int versionId, int nextVersion, StorageThread *storage, QWidget *parent)
    : QDialog(parent)
    , versionId(versionId)
    , nextVersion(nextVersion)
    , storage(storage)
{
    setWindowTitle(QStringLiteral("版本 #%1 之后的改动").arg(versionId));
    resize(1000, 640);
    auto *layout = new QVBoxLayout(this);

    auto *top = new QHBoxLayout;
    sides = new QComboBox(this);
    if (nextVersion > 0)
        sides->addItem(QStringLiteral("与下一个版本比较"), nextVersion);
    sides->addItem(QStringLiteral("与现在比较"), 0);
    connect(sides, &QComboBox::currentIndexChanged, this, &VersionCompareDialog::compare);
    top->addWidget(sides);
    top->addStretch();
    layout->addLayout(top);

    summaryLabel = new QLabel(this);
    summaryLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(summaryLabel);

    model = new VersionDiffModel(this);
    view = new QTableView(this);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->setVisible(false);
    // Fixed row heights and column widths: nothing is measured across 100,000 rows.
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->horizontalHeader()->setStretchLastSection(true);
    view->setColumnWidth(0, 110);
    view->setColumnWidth(1, 60);
    view->setColumnWidth(2, 260);
    view->setWordWrap(false);
    layout->addWidget(view, 1);

    auto *bottom = new QHBoxLayout;
    auto *all = new QPushButton(QStringLiteral("全选"), this);
    all->setObjectName(QStringLiteral("plain"));
    connect(all, &QPushButton::clicked, this, [this] { model->checkAll(model->checkedCount() < model->rowCount()); });
    bottom->addWidget(all);
    bottom->addStretch();
    restoreButton = new QPushButton(QStringLiteral("恢复选中的行"), this);
    restoreButton->setObjectName(QStringLiteral("danger"));
    connect(restoreButton, &QPushButton::clicked, this, &VersionCompareDialog::onRestore);
    bottom->addWidget(restoreButton);
    auto *close = new QPushButton(QStringLiteral("关闭"), this);
    close->setObjectName(QStringLiteral("plain"));
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    bottom->addWidget(close);
    layout->addLayout(bottom);

    compare();
}

VersionCompareDialog::~VersionCompareDialog()
{
    // The comparison looks at its stop flag every few thousand rows, so the wait is short.
    if (stop)
        stop->store(true);
    if (worker) {
        worker->wait();
        delete worker;
    }
}

VersionCompareDialog *VersionCompareDialog::openFor(int versionId, StorageThread *storage, QWidget *parent)
{
    auto *dialog = new VersionCompareDialog(versionId, Database::instance().nextVersion(versionId), storage, parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    return dialog;
}

template<typename Work, typename Done>
void VersionCompareDialog::runAside(Work work, Done done)
{
    using Result = decltype(work());
    auto result = std::make_shared<Result>();
    worker = QThread::create([work = std::move(work), result] {
        *result = work();
        handoff::release(result.get());
    });
    connect(worker, &QThread::finished, this, [this, result, done = std::move(done)] {
        handoff::acquire(result.get());
        handoff::deleteEnded(std::exchange(worker, nullptr));
        sides->setEnabled(true);
        restoreButton->setEnabled(true);
        done(*result);
    });
    worker->start();
}

void VersionCompareDialog::setBusy(const QString &text)
{
    summaryLabel->setText(text);
    sides->setEnabled(false);
    restoreButton->setEnabled(false);
}

void VersionCompareDialog::compare()
{
    if (worker)
        return;
    struct Compared
    {
        std::shared_ptr<const VersionDiff> diff;
        QString error;
    };
    const QString file = Database::instance().fileName();
    const QList<int> versions{versionId, sides->currentData().toInt()};
    stop = std::make_shared<std::atomic<bool>>(false);
    model->show(nullptr);
    diff.reset();
    setBusy(QStringLiteral("正在比较…"));
    runAside(
        [file, versions, stop = stop] {
            Compared compared;
            // A stored version never changes: the two are read side by side, each in a session of its own.
            QList<QByteArray> older;
            QString olderError;
            const std::unique_ptr<QThread> aside(
                QThread::create([&] { Database::readSnapshots(file, {versions.first()}, &older, &olderError); }));
            aside->start();
            QList<QByteArray> newer;
            Database::readSnapshots(file, {versions.last()}, &newer, &compared.error);
            aside->wait();
            if (compared.error.isEmpty())
                compared.error = olderError;
            if (older.isEmpty() || newer.isEmpty())
                return compared;
            auto result = std::make_shared<VersionDiff>(VersionDiff::compare(older.first(), newer.first(), stop.get()));
            if (result->isValid())
                compared.diff = std::move(result);
            else if (!stop->load())
                compared.error = QStringLiteral("版本的数据读不出来");
            return compared;
        },
        [this](const Compared &compared) {
            if (!compared.diff) {
                summaryLabel->setText(QStringLiteral("比较失败：") + compared.error);
                return;
            }
            diff = compared.diff;
            model->show(diff);
            showSummary();
        });
}

void VersionCompareDialog::showSummary()
{
    if (diff)
        summaryLabel->setText(diff->isEmpty() ? QStringLiteral("两个版本的数据相同")
                                              : diff->summaryLines().join(QLatin1Char('\n')));
}

void VersionCompareDialog::onRestore()
{
    if (!diff || model->checkedCount() == 0) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("请先勾选要恢复的行"));
        return;
    }
    const QString file = Database::instance().fileName();
    const QList<std::pair<QString, int>> chosen = model->checkedRows();
    setBusy(QStringLiteral("正在检查…"));
    runAside(
        [file, chosen, diff = diff, versionId = versionId, stop = stop] {
            Check check;
            QList<QByteArray> texts;
            if (!Database::readSnapshots(file, {0}, &texts, &check.error))
                return check;
            const SnapshotReader current(texts.at(0), SnapshotReader::Check::Layout);
            RestorePlanner planner(*diff, current, stop.get());
            for (const auto &[table, row] : chosen)
                planner.choose(table, row);
            check.read = true;
            check.changedAgain = planner.changedAgain();
            check.dangling = planner.dangling();
            check.plan = planner.plan();
            check.plan.versionId = versionId;
            if (!check.dangling.isEmpty()) {
                planner.includeDangling();
                check.withDangling = planner.plan();
                check.withDangling.versionId = versionId;
            }
            return check;
        },
        [this](const Check &check) {
            showSummary();
            confirmRestore(check);
        });
}

void VersionCompareDialog::confirmRestore(const Check &check)
{
    if (!check.read) {
        QMessageBox::warning(this, QStringLiteral("失败"), QStringLiteral("读不出现在的数据：") + check.error);
        return;
    }
    const PartialRestore *plan = &check.plan;
    if (!check.dangling.isEmpty()) {
        // Removing a row that others point at would leave them pointing at nothing, and the editor refuses
        // such a deletion: the rows are named, and the restore goes on only with them.
        const QString text =
            QStringLiteral(
                "恢复会删除一些行，还有 %1 行指向它们：\n%2\n\n要把这些行一并恢复或删除吗？选「否」就什么都不做。")
                .arg(check.dangling.size())
                .arg(danglingText(check.dangling));
        if (!askDestructiveQuestion(this, QStringLiteral("还有行指向要删除的行"), text))
            return;
        plan = &check.withDangling;
    }
    QString text = QStringLiteral("确定把这 %1 行恢复成版本 #%2 里的样子吗？\n\n%3")
                       .arg(plan->rowCount())
                       .arg(versionId)
                       .arg(plan->tableCounts().join(QStringLiteral("、")));
    if (check.changedAgain > 0)
        text += QStringLiteral("\n\n其中 %1 行之后又改过，恢复会覆盖这些改动").arg(check.changedAgain);
    text += QStringLiteral("\n\n当前数据会先自动存一份。");
    if (!askDestructiveQuestion(this, QStringLiteral("确认恢复"), text))
        return;
    write(*plan);
}

void VersionCompareDialog::write(const PartialRestore &plan)
{
    struct Written
    {
        bool done = false;
        QString error;
    };
    setBusy(QStringLiteral("正在恢复…"));
    StorageThread::run(
        storage, this,
        [plan] {
            Written written;
            written.done = Database::instance().restoreRows(plan, &written.error);
            return written;
        },
        [this, count = plan.rowCount()](const Written &written) {
            sides->setEnabled(true);
            restoreButton->setEnabled(true);
            if (!written.done) {
                showSummary();
                QMessageBox::warning(this, QStringLiteral("失败"), QStringLiteral("恢复失败：") + written.error);
                return;
            }
            Q_EMIT restored();
            QMessageBox::information(this, QStringLiteral("已恢复"), QStringLiteral("已恢复 %1 行").arg(count));
            compare();
        });
}
