#include "window/WindowControls.h"

#include <QEvent>
#include <QMainWindow>

#include "ui_MainWindow.h"
#include "window/Alerts.h"

WindowControls::WindowControls(QMainWindow* window, Ui::MainWindow& ui,
                               std::function<bool()> mayClose)
    : m_ui(ui), m_window(window), m_mayClose(std::move(mayClose)) {
    ui.writeImageProgress->setRange(0, 100);
    connect(ui.writeImageButton, &QPushButton::clicked, this, [this] {
        if (m_writeAction) m_writeAction();
    });
    window->addAction(ui.quitMenuItem);
    window->installEventFilter(this);
    // The check boxes belong to the choice of image, the everyday stick to
    // the clear: each is enabled exactly where its button is.
    ui.chooseImageButton->installEventFilter(this);
    ui.clearDeviceButton->installEventFilter(this);
    QEvent changed(QEvent::EnabledChange);
    eventFilter(ui.chooseImageButton, &changed);
    eventFilter(ui.clearDeviceButton, &changed);
}

std::optional<WindowControls::Mode> WindowControls::ModeRow(std::int32_t mode) {
    // clang-format off
    static constexpr std::optional<Mode> kModes[] = {
        Mode{false, false, false, false, false, false, false, true},   // 0 startup
        Mode{true, false, false, false, false, false, false, false},   // 1 scanning
        Mode{false, true, true, false, false, false, false, true},     // 2 no device
        Mode{false, true, true, false, false, false, true, true},      // 3 device selected
        std::nullopt,
        Mode{false, true, true, false, false, true, true, true},       // 5 ready to write
        Mode{false, false, false, true, true, false, false, false},    // 6 writing
    };
    // clang-format on
    return mode >= 0 && mode < std::int32_t(std::size(kModes)) ? kModes[mode] : std::nullopt;
}

void WindowControls::Apply(const Mode& mode) {
    m_ui.deviceUpdateProgress->setHidden(!mode.scanShown);
    // A progress bar without a range is Qt's busy indicator: it animates.
    if (mode.scanShown) {
        m_ui.deviceUpdateProgress->setRange(0, 0);
    } else {
        m_ui.deviceUpdateProgress->setRange(0, 1);
        m_ui.deviceUpdateProgress->setValue(0);
    }
    m_ui.refreshButton->setEnabled(mode.refresh);
    m_ui.chooseImageButton->setEnabled(mode.choose);
    m_ui.writeImageInfo->setHidden(!mode.infoShown);
    m_ui.writeImageProgress->setHidden(!mode.progressShown);
    m_ui.writeImageButton->setEnabled(mode.write);
    m_ui.clearDeviceButton->setEnabled(mode.clear);
    m_ui.quitMenuItem->setEnabled(mode.quit);
}

void WindowControls::SetWriteButton(const QString& title, std::function<void()> action,
                                    bool enabled) {
    m_ui.writeImageButton->setEnabled(false);
    m_ui.writeImageButton->setText(title);
    m_writeAction = std::move(action);
    m_ui.writeImageButton->setEnabled(enabled);
}

void WindowControls::ShowInfo(const QString& text) {
    m_ui.writeImageInfo->setText(text);
    m_ui.writeImageInfo->setHidden(false);
}

void WindowControls::SetElided(QLabel* label, const QString& text) {
    label->setText(ElidedLines(label, text, label->width()));
    label->setToolTip(text);
}

void WindowControls::SetImageLine(QLabel* label, const QString& text) {
    const QString rest = text.section(QLatin1Char('\n'), 1);
    label->setText(ElidedLines(label, text.section(QLatin1Char('\n'), 0, 0), label->width()) +
                   (rest.isEmpty()
                        ? QString()
                        : QLatin1Char('\n') + WrappedLines(label, rest, label->width())));
    label->setToolTip(text);
}

std::array<QWidget*, 4> WindowControls::Held() const {
    return {m_ui.refreshButton, m_ui.chooseImageButton, m_ui.writeImageButton,
            m_ui.clearDeviceButton};
}

void WindowControls::ListSticks(QComboBox* list, const QString& placeholder,
                                const QStringList& names) {
    list->addItem(placeholder);
    list->setCurrentIndex(0);
    for (const QString& name : names) {
        list->addItem(ElidedLines(list, name, list->width() - 40));
        list->setItemData(list->count() - 1, name, Qt::ToolTipRole);
    }
}

void WindowControls::Hold() {
    for (std::size_t i = 0; i < Held().size(); ++i) {
        m_held[i] = Held()[i]->isEnabled();
        Held()[i]->setEnabled(false);
    }
    m_held[4] = m_ui.quitMenuItem->isEnabled();
}

void WindowControls::GiveBack(bool infoShown) {
    for (std::size_t i = 0; i < Held().size(); ++i) Held()[i]->setEnabled(m_held[i]);
    m_ui.quitMenuItem->setEnabled(m_held[4]);
    m_ui.writeImageInfo->setHidden(!infoShown);
}

bool WindowControls::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::EnabledChange && watched == m_ui.chooseImageButton) {
        m_ui.verifyCheckBox->setEnabled(m_ui.chooseImageButton->isEnabled());
        m_ui.powerOffCheckBox->setEnabled(m_ui.chooseImageButton->isEnabled());
        m_ui.useBlockMapCheckBox->setEnabled(m_ui.chooseImageButton->isEnabled());
    } else if (event->type() == QEvent::EnabledChange && watched == m_ui.clearDeviceButton) {
        m_ui.everydayStickButton->setEnabled(m_ui.clearDeviceButton->isEnabled());
    } else if (event->type() == QEvent::Close && watched == m_window) {
        event->setAccepted(m_mayClose());
        return true;
    }
    return QObject::eventFilter(watched, event);
}
