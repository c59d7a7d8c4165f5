#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>

// A small QR Code encoder for the connection codes: byte mode, level M, versions 1 to 16, mask 0.

// Encodes the text's UTF-8 bytes. On success, size is the side in modules and modules holds size rows
// of size bytes (1 dark, 0 light). Returns false, leaving both untouched, when the text is over 450 bytes.
bool encodeQrCode(const QString &text, int &size, QList<QByteArray> &modules);

// The symbol drawn black on white with a quiet zone of 4 modules, at the largest integer scale
// (at least 2) that keeps the side within target pixels. Null when the text does not fit.
QImage renderQrImage(const QString &text, int target);
