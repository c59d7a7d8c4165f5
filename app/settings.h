#pragma once

#include <QJsonObject>
#include <QString>

// The settings file's rules, over the JSON object it holds: syncPort, syncKey, deviceName, publicHost,
// and keepVersions and keepBackups once the operator has changed them.
// The window keeps the object and calls these; nothing here shows or logs anything.
namespace settings {

inline constexpr int defaultPort = 9527;
inline const QString defaultDeviceName = QStringLiteral("电脑主库");
inline constexpr int defaultKeepVersions = 200;
inline constexpr int minKeepVersions = 10;
inline constexpr int maxKeepVersions = 1000;
inline constexpr int defaultKeepBackups = 30;
inline constexpr int minKeepBackups = 3;
inline constexpr int maxKeepBackups = 365;

// The object in the file at path; empty when the file is missing or holds no JSON object.
QJsonObject read(const QString &path);
// Writes through a temporary file, flushed to disk before it replaces the old one and the folder after,
// so that neither a crash, a full disk nor a power cut leaves the folder without the file and the
// operator without the sync key the phones use. False when the file could not be written, with the
// reason in *why when given.
bool write(const QString &path, const QJsonObject &config, QString *why = nullptr);
// What a first start writes: the default port and name, no key yet, the public address left to detection.
QJsonObject firstRun();
// A fresh sync key: 12 characters, none that reads like another (no I, O, 0 or 1).
QString newKey();

// The port in force: 9527 unless the file names a whole number from 1 to 65535.
int port(const QJsonObject &config);
// The whole number the file gives as port when it lies outside 1 - 65535 (it would wrap to another
// port), as text for the log; empty otherwise.
QString portOutOfRange(const QJsonObject &config);
// A port typed by the operator, or 0 when the text is not a whole number from 1 to 65535.
int portFromText(const QString &text);
QString deviceName(const QJsonObject &config);
// The key and public address in force, trimmed: what the service compares and the phone is handed.
QString key(const QJsonObject &config);
QString publicHost(const QJsonObject &config);
// The key and public address as the file holds them, for the settings fields.
QString storedKey(const QJsonObject &config);
QString storedPublicHost(const QJsonObject &config);
// A key is either left empty (no check) or at least 4 characters long.
bool keyTooShort(const QString &key);
// Whether the file names a port at all.
bool namesPort(const QJsonObject &config);
void setKey(QJsonObject &config, const QString &key);
void setPublicHost(QJsonObject &config, const QString &host);
// How many versions and daily backups are kept: the default when absent or not a whole number, and
// brought within 10 - 1000 and 3 - 365.
int keepVersions(const QJsonObject &config);
int keepBackups(const QJsonObject &config);
void setRetention(QJsonObject &config, int keepVersions, int keepBackups);
// The operator's saved settings; an empty name falls back to the default.
void save(QJsonObject &config, const QString &key, const QString &name, int port, const QString &publicHost);

} // namespace settings
