#pragma once
// ImageChoice: the image the user chose and what is known of it, as the
// lines under its name: the check against the checksum its publisher put
// beside it, what the image holds (its tables, file systems and labels, its
// size once written beside the stick's), and the flag of an image that
// cannot start a computer from a stick. It also takes an image file dropped
// on the window, one at a time, while choosing an image is allowed.
//
// Threads: the window's thread; the checks run on threads of their own and
// report here. Ownership: the controller owns it; it owns the checks.

#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/files/ImageChecksum.h"
#include "platform/files/ImageContent.h"
#include "window/ImageSummary.h"

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

    // The selected stick's size, for the size once written; none: no stick.
    void SetStickBytes(std::optional<std::int64_t> bytes);

    const platform::ImageChecksum& Checksum() const { return m_checksum; }
    // What the content says of the image; None until it is known.
    ImageFlag Flag() const;
    // A block map beside the image that the writer will follow.
    bool BlockMapUsable() const;
    // The image's name, and below it what the checks found so far.
    QString Line() const;

  signals:
    void dropped(const QString& path);
    void changed();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    platform::ImageChecksum m_checksum;
    platform::ImageContentProbe m_content;
    std::string m_path;
    std::optional<std::int64_t> m_stickBytes;
    QWidget* m_window = nullptr;
    QWidget* m_allowed = nullptr;
};
