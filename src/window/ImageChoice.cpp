#include "window/ImageChoice.h"

#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QWidget>

#include "window/ImageLine.h"

ImageChoice::ImageChoice() {
    connect(&m_checksum, &platform::ImageChecksum::changed, this, &ImageChoice::changed);
    connect(&m_content, &platform::ImageContentProbe::changed, this, &ImageChoice::changed);
}

void ImageChoice::AcceptDrops(QWidget* window, QWidget* allowed) {
    m_window = window;
    m_allowed = allowed;
    window->setAcceptDrops(true);
    window->installEventFilter(this);
}

void ImageChoice::Choose(const std::string& path) {
    m_path = path;
    // Its publisher's checksum, when one lies beside it, is checked at once,
    // and its content looked at.
    m_checksum.Start(path);
    m_content.Start(path);
}

void ImageChoice::Cancel() {
    m_checksum.Cancel();
    m_content.Cancel();
}

void ImageChoice::SetStickBytes(std::optional<std::int64_t> bytes) {
    if (bytes == m_stickBytes) return;
    m_stickBytes = bytes;
    if (!m_path.empty()) emit changed();
}

ImageFlag ImageChoice::Flag() const {
    using State = platform::ImageContentProbe::State;
    return m_content.state() == State::Done ? FlagOf(m_content.content()) : ImageFlag::None;
}

bool ImageChoice::BlockMapUsable() const {
    return m_content.state() == platform::ImageContentProbe::State::Done &&
           m_content.content().blockMap.Usable();
}

QString ImageChoice::Line() const {
    QStringList lines{QFileInfo(QFile::decodeName(m_path.c_str())).fileName()};
    lines << ImageLine::Checksum(m_checksum.state(), m_checksum.percent(), m_checksum.fileName());
    if (m_content.state() == platform::ImageContentProbe::State::Done)
        lines << ImageSummaryText(m_content.content(), m_stickBytes)
              << FlagSentence(m_content.content()) << BlockMapText(m_content.content().blockMap);
    lines.removeAll(QString());
    return lines.join(QLatin1Char('\n'));
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
