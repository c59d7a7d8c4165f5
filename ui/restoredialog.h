#pragma once

#include <QDialog>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <atomic>
#include <memory>

class QPushButton;
class QTableWidget;

// Lists the copies in the backup folder, newest first, and lets the operator choose one to restore.
// Row counts and the integrity check are read on a thread of their own and filled in as they come,
// so that a copy of several gigabytes never freezes the dialog.
class RestoreDialog : public QDialog
{
    Q_OBJECT

public:
    explicit RestoreDialog(const QString &folder, QWidget *parent = nullptr);
    ~RestoreDialog() override;

    QString chosenFile() const { return chosen; }

private:
    void onCountsRead(int row, const QJsonObject &counts, const QString &error);
    void onChecked(int row, const QString &result);
    void onRestoreClicked();

    QTableWidget *list = nullptr;
    QStringList files;
    // Rows that are no database of this program, whatever their check says.
    QSet<int> unreadable;
    QString chosen;
    std::shared_ptr<std::atomic_bool> cancelled = std::make_shared<std::atomic_bool>(false);
};

// Reads the copies one after the other: first every copy's row counts, which are quick, then the
// integrity checks, which read every page. Stops between copies once the dialog is gone.
class BackupInspector : public QObject
{
    Q_OBJECT

public:
    BackupInspector(const QStringList &files, std::shared_ptr<std::atomic_bool> cancelled);
    void run();

Q_SIGNALS:
    void countsRead(int row, const QJsonObject &counts, const QString &error);
    void checked(int row, const QString &result);
    void finished();

private:
    const QStringList files;
    const std::shared_ptr<std::atomic_bool> cancelled;
};
