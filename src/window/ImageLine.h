#pragma once
// What the line under the image's name says: the state of the check against
// the checksum its publisher put beside it.
//
// Pure; the window's thread (the texts are translated).

#include <QCoreApplication>
#include <QString>

#include "platform/files/ImageChecksum.h"

class ImageLine {
    Q_DECLARE_TR_FUNCTIONS(ImageLine)
  public:
    // "Checking SHA-256… N %", "SHA-256 matches FILE", ...; empty without a
    // checksum file.
    static QString Checksum(platform::ImageChecksum::State state, int percent, const QString& file);
};
