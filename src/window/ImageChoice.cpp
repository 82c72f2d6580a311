#include "window/ImageChoice.h"

#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QWidget>

#include "window/ImageLine.h"

ImageChoice::ImageChoice() {
    connect(&m_checksum, &platform::ImageChecksum::changed, this, &ImageChoice::changed);
}

void ImageChoice::AcceptDrops(QWidget* window, QWidget* allowed) {
    m_window = window;
    m_allowed = allowed;
    window->setAcceptDrops(true);
    window->installEventFilter(this);
}

void ImageChoice::Choose(const std::string& path) {
    m_path = path;
    // Its publisher's checksum, when one lies beside it, is checked at once.
    m_checksum.Start(path);
}

void ImageChoice::Cancel() {
    m_checksum.Cancel();
}

QString ImageChoice::Line() const {
    const QString name = QFileInfo(QFile::decodeName(m_path.c_str())).fileName();
    const QString check =
        ImageLine::Checksum(m_checksum.state(), m_checksum.percent(), m_checksum.fileName());
    return check.isEmpty() ? name : name + QLatin1Char('\n') + check;
}

bool ImageChoice::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_window ||
        (event->type() != QEvent::DragEnter && event->type() != QEvent::Drop))
        return QObject::eventFilter(watched, event);
    auto* drop = static_cast<QDropEvent*>(event);
    const QList<QUrl> urls = drop->mimeData()->urls();
    // One local file, and only where "Choose Image…" would take it.
    if (urls.size() != 1 || !urls.first().isLocalFile() || !m_allowed->isEnabled()) {
        drop->ignore();
        return true;
    }
    drop->acceptProposedAction();
    if (event->type() == QEvent::Drop) emit dropped(urls.first().toLocalFile());
    return true;
}
