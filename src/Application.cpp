#include "Application.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QMainWindow>
#include <QSocketNotifier>
#include <QTimer>
#include <QTranslator>
#include <cerrno>
#include <csignal>

#include "Controller.h"
#include "platform/disks/DiskService.h"
#include "ui_MainWindow.h"
#include "window/WindowControls.h"

ApplicationWindow::ApplicationWindow() {
    m_controller = std::make_unique<Controller>();
    m_window = std::make_unique<QMainWindow>();
    m_ui = std::make_unique<Ui::MainWindow>();
    m_ui->setupUi(m_window.get());
    m_window->setWindowIcon(QIcon::fromTheme(QStringLiteral("org.usbimagewriter.UsbImageWriter")));
    ConnectController();
    m_controller->awakeFromNib();
}

void ApplicationWindow::ConnectController() {
    Controller& c = *m_controller;
    Ui::MainWindow& ui = *m_ui;
    c.korvelImageInfo = ui.korvelImageInfo;
    c.usbStickChooser = ui.usbStickChooser;
    c.usbStickInfo = ui.usbStickInfo;
    c.writeImageInfo = ui.writeImageInfo;
    c.writeImageProgress = ui.writeImageProgress;
    c.deviceUpdateProgress = ui.deviceUpdateProgress;
    c.writeImageButton = ui.writeImageButton;
    c.clearDeviceButton = ui.clearDeviceButton;
    c.everydayStickButton = ui.everydayStickButton;
    c.refreshButton = ui.refreshButton;
    c.chooseImageButton = ui.chooseImageButton;
    c.verifyCheckBox = ui.verifyCheckBox;
    c.powerOffCheckBox = ui.powerOffCheckBox;
    c.useBlockMapCheckBox = ui.useBlockMapCheckBox;
    c.window = m_window.get();
    c.quitMenuItem = ui.quitMenuItem;
    // The write button's action changes with what the window is doing: the
    // controls know it. Closing the window asks the controller.
    c.m_controls = std::make_unique<WindowControls>(m_window.get(), ui,
                                                    [&c] { return c.windowShouldClose(); });
    QObject::connect(ui.clearDeviceButton, &QPushButton::clicked, &c, &Controller::clearUSBDevice);
    QObject::connect(ui.everydayStickButton, &QPushButton::clicked, &c,
                     &Controller::makeEverydayStick);
    QObject::connect(ui.refreshButton, &QPushButton::clicked, &c, &Controller::refreshDeviceList);
    QObject::connect(ui.chooseImageButton, &QPushButton::clicked, &c, &Controller::chooseImage);
    // Only a user's choice counts as a selection change; the list that the
    // controller rebuilds itself does not.
    QObject::connect(ui.usbStickChooser, &QComboBox::activated, &c,
                     &Controller::comboBoxSelectionDidChange);
    QObject::connect(ui.quitMenuItem, &QAction::triggered, &c, &Controller::terminate);
}

ApplicationWindow::~ApplicationWindow() = default;

namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    if (write(g_signalPipe[1], &byte, 1) < 0) {
        // The pipe is full: a request is already on its way.
    }
    errno = saved;
}

// Turns SIGTERM, SIGINT and SIGHUP (logout, Ctrl+C, kill) into a request on
// the main thread, so the program ends through its own teardown and leaves
// no temporary image behind.
class TerminationSignals {
  public:
    explicit TerminationSignals(Controller& controller) {
        if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
        m_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, &controller, [&controller] {
            char buffer[16];
            while (read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
            }
            controller.terminationRequested();
        });
        struct sigaction action {};
        action.sa_handler = OnTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
    }
    ~TerminationSignals() {
        for (int signal : {SIGTERM, SIGINT, SIGHUP}) std::signal(signal, SIG_DFL);
        m_notifier.reset();
        for (int& fd : g_signalPipe) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

  private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace

void InstallTranslations(QCoreApplication& application) {
    const QLocale locale;
    const QString own = QCoreApplication::applicationDirPath() +
                        QStringLiteral("/../share/usb-image-writer/translations");
    for (const auto& [name, dir] :
         {std::pair{QStringLiteral("qtbase"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)},
          std::pair{QStringLiteral("usb-image-writer"), own}}) {
        auto* translator = new QTranslator(&application);
        if (translator->load(locale, name, QStringLiteral("_"), dir))
            QCoreApplication::installTranslator(translator);
        else
            delete translator;
    }
}

int ApplicationMain(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("usb-image-writer"));
    QApplication::setApplicationDisplayName(QStringLiteral("USB Image Writer"));
    QApplication::setDesktopFileName(QStringLiteral("org.usbimagewriter.UsbImageWriter"));
    // The program ends through terminate() only, never because a window closed.
    QApplication::setQuitOnLastWindowClosed(false);
    InstallTranslations(app);
    int result = 0;
    {
        ApplicationWindow application;
        TerminationSignals termination(application.GetController());
        application.Window().show();
        QTimer::singleShot(0, &application.GetController(),
                           &Controller::applicationDidFinishLaunching);
        result = QApplication::exec();
    }
    // The disk service talks D-Bus: it goes while the application still exists.
    platform::ResetDiskService();
    return result;
}
