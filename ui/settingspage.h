#pragma once

#include <QScrollArea>

class QJsonObject;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
struct StorageFigures;

// The master library's name, the sync key, the port and the public address, with the service's switch
// where the files lie, and what the store takes on the disk with how much of it is kept. The page checks what the
// operator typed; the settings themselves and the service are the window's, which it asks through its signals. It
// scrolls where the window is too small.
class SettingsPage : public QScrollArea
{
    Q_OBJECT

public:
    explicit SettingsPage(QWidget *parent = nullptr);

    // Fills every field from the settings, dropping what the operator typed and did not save.
    void showSettings(const QJsonObject &config);
    // One field changed by the program; the others keep the operator's unsaved edits.
    void showKey(const QString &key);
    void showPublicHost(const QString &host);
    void showServiceRunning(bool running);
    // The kept numbers as the settings hold them, dropping the operator's unsaved choice.
    void showRetention(const QJsonObject &config);
    void showStorage(const StorageFigures &figures);

    QLineEdit *nameField() const { return nameEdit; }
    QLineEdit *keyField() const { return keyEdit; }
    QLineEdit *portField() const { return portEdit; }
    QLineEdit *publicHostField() const { return publicHostEdit; }
    QPushButton *serviceButton() const { return toggleButton; }
    QSpinBox *keepVersionsField() const { return keepVersionsBox; }
    QSpinBox *keepBackupsField() const { return keepBackupsBox; }
    QLabel *storageFigures() const { return storageText; }

Q_SIGNALS:
    void newKeyRequested();
    // Settings that passed the checks: a port from 1 to 65535, a key empty or long enough, all trimmed.
    void saveRequested(const QString &key, const QString &name, int port, const QString &publicHost);
    void restartRequested();
    void toggleRequested();
    // The public address is to be found again; its field is already empty.
    void publicHostDetectionRequested();
    // How many versions and daily backups to keep from now on.
    void retentionRequested(int keepVersions, int keepBackups);
    void compactRequested();

private Q_SLOTS:
    void onCopyKey();
    void onNewKey();
    void onSaveSettings();
    void onToggleServer();

private:
    void onAutoPublicIp();

    QLineEdit *keyEdit = nullptr;
    QLineEdit *nameEdit = nullptr;
    QLineEdit *publicHostEdit = nullptr;
    QLineEdit *portEdit = nullptr;
    QPushButton *toggleButton = nullptr;
    QLabel *storageText = nullptr;
    QSpinBox *keepVersionsBox = nullptr;
    QSpinBox *keepBackupsBox = nullptr;
};
