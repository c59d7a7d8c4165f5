#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QWidget>

#include <functional>

class ActionDelegate;
class DataTableModel;
class RowTable;
class StorageThread;
class QComboBox;
class QLabel;
class QLineEdit;
class QModelIndex;
class QTableView;
class QThread;
class QTimer;
struct TableInfo;

// The operator's view of the database: a table chooser, a search field and the chosen table's live rows
// with readable values, categories and locations as folding trees. The operator adds, edits and deletes
// rows here, each change stored after a version and put on the sync log, and exports a table to CSV.
class DataPage : public QWidget
{
    Q_OBJECT

public:
    explicit DataPage(QWidget *parent = nullptr);
    ~DataPage() override;

    // Reads the chosen table again. keepPlace keeps the selected row and the scroll position, for a
    // refresh of the same view.
    void refresh(bool keepPlace = false);
    // The data changed under the page, from a phone: it is refreshed in place shortly, once for a burst
    // of such changes, and only while it is shown; the window refreshes it when it is shown again.
    void refreshLater();
    // The data changed under the page: it is read again now, on a thread of its own, in place; only
    // while it is shown.
    void refreshInPlace();
    // A reading on another thread runs or is due.
    bool isReading() const;
    // Changes go to this thread as jobs; without one they are written at once.
    void setStorage(StorageThread *writer) { storage = writer; }
    // A change of the operator's is being written.
    bool isSaving() const { return saving > 0; }
    // Whether phones are waiting for answers: a refresh after a push waits for them a little.
    void setPhonesWaiting(std::function<bool()> waiting) { phonesWaiting = std::move(waiting); }
    // Imports a CSV file into the shown table, after the operator has seen the preview and said so.
    void importCsv(const QString &path);

    const TableInfo *currentTable() const;
    QString currentTableKey() const;
    // The Record id of the current row, or an empty text.
    QString currentRowId() const;
    // Every live row of the shown table as last read, unfiltered.
    const RowTable &rows() const;
    // Children of a shown parent among the rows that passed the search.
    int childCount(const QString &id) const;

    QComboBox *tableChooser() const { return tableCombo; }
    QLineEdit *searchField() const { return searchEdit; }
    QTableView *view() const { return table; }
    DataTableModel *model() const { return rowsModel; }
    QLabel *countLine() const { return countLabel; }
    ActionDelegate *actions() const { return actionDelegate; }

Q_SIGNALS:
    // The operator's change is stored and on the sync log; the page already shows it.
    void changeSaved();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private Q_SLOTS:
    void onTableChanged(int index);
    void onSearchChanged(const QString &text);
    void onAddRow();
    void onEditRow();
    void onDeleteRow();
    void onExportCsv();
    void onImportCsv();

private:
    // The refresh after a phone's push, while the page is shown.
    void refreshInBackground();
    // The table and id of the row the edit and delete actions work on; tells the operator when there is none.
    bool selectedRow(const TableInfo **info, QString *id);
    // The path of every change from this page: a version is saved first, then `write` gives the
    // changed row's id, or an empty one with the reason set. A failure is told and not logged; a change
    // is logged and shown. `id` is empty for a new row.
    void applyChange(const TableInfo &info, const QString &action, const QString &id, const QString &failure,
                     std::function<QString(QString *error)> write);
    // The page goes on answering while its change is written on the storage thread: a busy cursor and
    // what is under way beside the count, until the job ends.
    void startSaving(const QString &what);
    void endSaving();
    // Lays the view out for the rows the model now holds, putting the kept row and scroll back.
    void showRows(const QString &keptId, int keptScroll);
    void showCount();
    // Caps the columns at the widths their contents asked for at the last refresh, narrowing the
    // ones before the actions together where the table is too narrow for them.
    void fitColumns();
    void onClicked(const QModelIndex &index);
    void onDoubleClicked(const QModelIndex &index);
    // Selects the row and runs the action on it, once the click that asked for it is over.
    void runOnRow(int row, void (DataPage::*action)());

    QComboBox *tableCombo = nullptr;
    QLineEdit *searchEdit = nullptr;
    QTableView *table = nullptr;
    DataTableModel *rowsModel = nullptr;
    ActionDelegate *actionDelegate = nullptr;
    QLabel *countLabel = nullptr;
    QList<int> columnWidths;
    // Where the last CSV file was exported or imported; the file dialogs start there.
    QString csvFolder;
    QTimer *pendingRefresh = nullptr;
    // Counts refreshes, so that one the operator asked for supersedes a reading still under way.
    quint64 refreshes = 0;
    QThread *reader = nullptr;
    bool readAgain = false;
    QElapsedTimer pendingSince;
    // The parent whose name was last clicked, and when: tells the second click of a double click.
    QString lastToggledId;
    QElapsedTimer lastToggleClock;
    StorageThread *storage = nullptr;
    int saving = 0;
    std::function<bool()> phonesWaiting;
    QElapsedTimer givingWaySince;
};
