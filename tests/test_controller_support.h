#pragma once
// Helpers for the window tests: the application's own window and controller
// on a chosen disk service, answering its sheets and message boxes the way a
// user would (by pressing their buttons), picking sticks in the list, and
// capturing the trace lines on stdout.

#include <unistd.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Controller.h"
#include "platform/DiskService.h"

namespace apptest {

// A message box as the user saw it.
struct SeenBox {
    QString title;
    QString text;
    QString informativeText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    Qt::WindowModality modality = Qt::NonModal;
};

// Presses "OK" on every application-modal message box that opens while it
// lives, after writing down what it showed. The boxes run their own event
// loop, in which the watcher's timer keeps firing.
class MessageBoxWatcher : public QObject {
  public:
    MessageBoxWatcher() {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
        m_timer.start();
    }
    const std::vector<SeenBox>& Seen() const { return m_seen; }
    bool WaitForCount(std::size_t count, int timeoutMs = 20000) {
        return QTest::qWaitFor([&] { return m_seen.size() >= count; }, timeoutMs);
    }
    // The informative texts, in order.
    QStringList Messages() const {
        QStringList list;
        for (const SeenBox& box : m_seen) list << box.informativeText;
        return list;
    }

  private:
    void Poll() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr || !box->isVisible() ||
                box->windowModality() != Qt::ApplicationModal || box->property("seen").toBool()) {
                continue;
            }
            box->setProperty("seen", true);
            SeenBox seen;
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.informativeText = box->informativeText();
            seen.icon = box->icon();
            seen.modality = box->windowModality();
            for (QAbstractButton* button : box->buttons()) seen.buttons << button->text();
            m_seen.push_back(seen);
            if (!box->buttons().isEmpty()) box->buttons().first()->click();
        }
    }
    QTimer m_timer;
    std::vector<SeenBox> m_seen;
};

// The open alert sheet of the window, or none.
inline QMessageBox* OpenSheet(QMainWindow& window) {
    for (QMessageBox* box : window.findChildren<QMessageBox*>()) {
        if (box->isVisible() && box->windowModality() == Qt::WindowModal) return box;
    }
    return nullptr;
}

inline QAbstractButton* SheetButton(QMessageBox* sheet, const QString& text) {
    for (QAbstractButton* button : sheet->buttons()) {
        if (button->text() == text) return button;
    }
    return nullptr;
}

// The application's window and controller on `service` (installed as the
// process-wide disk service for the window's life).
class Harness {
  public:
    explicit Harness(platform::DiskService* service) {
        platform::InstallDiskService(service);
        m_app = std::make_unique<ApplicationWindow>();
        m_app->Window().show();
    }
    ~Harness() {
        m_app.reset();
        platform::InstallDiskService(nullptr);
    }
    Controller& controller() const { return m_app->GetController(); }
    QMainWindow& window() const { return m_app->Window(); }
    template <typename T>
    T* widget(const char* name) const {
        T* found = window().findChild<T*>(QLatin1String(name));
        if (found == nullptr) qFatal("no widget %s", name);
        return found;
    }
    QPushButton* writeButton() const { return widget<QPushButton>("writeImageButton"); }
    QPushButton* clearButton() const { return widget<QPushButton>("clearDeviceButton"); }
    QPushButton* refreshButton() const { return widget<QPushButton>("refreshButton"); }
    QPushButton* chooseButton() const { return widget<QPushButton>("chooseImageButton"); }
    QComboBox* chooser() const { return widget<QComboBox>("usbStickChooser"); }
    QLabel* imageInfo() const { return widget<QLabel>("korvelImageInfo"); }
    QLabel* stickInfo() const { return widget<QLabel>("usbStickInfo"); }
    QLabel* writeInfo() const { return widget<QLabel>("writeImageInfo"); }
    QProgressBar* writeProgress() const { return widget<QProgressBar>("writeImageProgress"); }
    QProgressBar* scanProgress() const { return widget<QProgressBar>("deviceUpdateProgress"); }
    QAction* quitItem() const { return widget<QAction>("quitMenuItem"); }

    QStringList items() const {
        QStringList list;
        for (int i = 0; i < chooser()->count(); ++i) list << chooser()->itemText(i);
        return list;
    }

    // A user's choice in the list: what QComboBox does when an item is
    // picked from its popup.
    void pick(int index) const {
        chooser()->setCurrentIndex(index);
        emit chooser()->activated(index);
    }

    // Waits for a scan (started by whatever) to end.
    bool waitForScanEnd(int timeoutMs = 20000) const {
        return QTest::qWaitFor([&] { return controller().operationMode() != ModeScanning; },
                               timeoutMs);
    }
    // Accepts the start-up warning and waits for the first scan.
    bool startUp() const {
        controller().applicationDidFinishLaunching();
        QMessageBox* sheet = nullptr;
        if (!QTest::qWaitFor([&] { return (sheet = OpenSheet(window())) != nullptr; }))
            return false;
        SheetButton(sheet, QStringLiteral("Continue"))->click();
        return controller().operationMode() == ModeScanning && waitForScanEnd();
    }
    // Start-up accepted, `image` chosen and the first stick selected.
    bool readyToWrite(const QString& image) const {
        if (!startUp()) return false;
        controller().chooseImageFile(image);
        pick(1);
        return controller().operationMode() == ModeReadyToWrite;
    }
    bool rescan() const {
        refreshButton()->click();
        return controller().operationMode() == ModeScanning && waitForScanEnd();
    }
    // Presses a button that opens the data-loss warning and answers it.
    bool answerDataLossWarning(QPushButton* button, const QString& answer) const {
        button->click();
        QMessageBox* sheet = nullptr;
        if (!QTest::qWaitFor([&] { return (sheet = OpenSheet(window())) != nullptr; }))
            return false;
        QAbstractButton* pressed = SheetButton(sheet, answer);
        if (pressed == nullptr) return false;
        pressed->click();
        return true;
    }

  private:
    std::unique_ptr<ApplicationWindow> m_app;
};

// Collects what the process writes to stdout while it lives, and passes it
// on to the real stdout at the end.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    std::string Text();  // everything so far
    // The program's lines so far, without Qt Test's own (warnings, results).
    QStringList Lines() {
        static const QRegularExpression testLine(
            QStringLiteral("^(QWARN|QDEBUG|QINFO|QSYSTEM|QCRITICAL|QFATAL|PASS|FAIL!|XFAIL|SKIP)"));
        QStringList lines = QString::fromStdString(Text()).split('\n', Qt::SkipEmptyParts);
        lines.removeIf([](const QString& line) { return testLine.match(line).hasMatch(); });
        return lines;
    }

  private:
    int m_saved = -1;
    std::string m_path;
};

inline StdoutCapture::StdoutCapture() {
    char name[] = "/tmp/app-stdout-XXXXXX";
    const int fd = mkstemp(name);
    m_path = name;
    std::fflush(stdout);
    m_saved = dup(1);
    dup2(fd, 1);
    close(fd);
}

inline StdoutCapture::~StdoutCapture() {
    // Pass on what was captured, test failures included.
    const std::string text = Text();
    dup2(m_saved, 1);
    if (!text.empty() && write(1, text.data(), text.size()) < 0) std::perror("stdout");
    close(m_saved);
    unlink(m_path.c_str());
}

inline std::string StdoutCapture::Text() {
    std::fflush(stdout);
    QFile file(QString::fromStdString(m_path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll().toStdString();
}

}  // namespace apptest
