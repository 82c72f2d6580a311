#pragma once
// ImageChoice: the image the user chose and what is known of it, as the line
// under its name: the file name, then the check against the checksum its
// publisher put beside it. It also takes an image file dropped on the
// window, one at a time, while choosing an image is allowed.
//
// Threads: the window's thread; the checks run on threads of their own and
// report here. Ownership: the controller owns it; it owns the checks.

#include <QObject>
#include <QString>
#include <string>

#include "platform/files/ImageChecksum.h"

class QWidget;

class ImageChoice : public QObject {
    Q_OBJECT
  public:
    ImageChoice();

    // Files dropped on `window` are taken while `allowed` is enabled.
    void AcceptDrops(QWidget* window, QWidget* allowed);
    // A newly chosen image (file system bytes): its checks start, those of
    // the image before end.
    void Choose(const std::string& path);
    // Ends the checks in progress (Quit); waits for their threads.
    void Cancel();

    const platform::ImageChecksum& Checksum() const { return m_checksum; }
    // The image's name, and below it what the checks found so far.
    QString Line() const;

  signals:
    void dropped(const QString& path);
    void changed();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    platform::ImageChecksum m_checksum;
    std::string m_path;
    QWidget* m_window = nullptr;
    QWidget* m_allowed = nullptr;
};
