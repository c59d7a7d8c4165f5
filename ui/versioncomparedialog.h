#pragma once

#include "storage/restoreplanner.h"

#include <QDialog>

#include <atomic>
#include <memory>

class QComboBox;
class QLabel;
class QPushButton;
class QTableView;
class QThread;
class StorageThread;
class VersionDiffModel;

// What changed after a version: against the next version (what the change after it did) or against the
// data now, one line per table that differs and every row that differs below, each with a check box.
// The chosen rows can be brought back as the version held them. Reading and comparing run on a thread
// of their own; the window answers meanwhile, and closing stops the work.
class VersionCompareDialog : public QDialog
{
    Q_OBJECT

public:
    // nextVersion 0: the version is the newest, and only the data now comes after it.
    VersionCompareDialog(int versionId, int nextVersion, StorageThread *storage, QWidget *parent = nullptr);
    ~VersionCompareDialog() override;

    // Opens the window for a version, modeless, on its own.
    static VersionCompareDialog *openFor(int versionId, StorageThread *storage, QWidget *parent);

    QTableView *rowsView() const { return view; }
    QComboBox *sideChooser() const { return sides; }
    QLabel *summary() const { return summaryLabel; }
    VersionDiffModel *rowsModel() const { return model; }
    // No reading or comparing under way.
    bool isIdle() const { return !worker; }

Q_SIGNALS:
    // Rows were written back: the pages show the data anew.
    void restored();

private:
    void compare();
    void onRestore();
    // What the restore of the checked rows would do, as worked out against the data now.
    struct Check
    {
        bool read = false;
        QString error;
        PartialRestore plan;
        PartialRestore withDangling;
        QList<DanglingRow> dangling;
        int changedAgain = 0;
    };
    void confirmRestore(const Check &check);
    void write(const PartialRestore &plan);
    // Runs work on a thread of its own and done here once it is over, unless the window is gone.
    template<typename Work, typename Done>
    void runAside(Work work, Done done);
    void setBusy(const QString &text);
    void showSummary();

    const int versionId;
    const int nextVersion;
    StorageThread *storage;
    QComboBox *sides = nullptr;
    QLabel *summaryLabel = nullptr;
    QTableView *view = nullptr;
    QPushButton *restoreButton = nullptr;
    VersionDiffModel *model = nullptr;
    std::shared_ptr<const VersionDiff> diff;
    QThread *worker = nullptr;
    std::shared_ptr<std::atomic<bool>> stop;
};
