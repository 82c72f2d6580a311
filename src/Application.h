#pragma once
// The application shell: the window from MainWindow.ui with its controller,
// and the program around them (QApplication, termination signals, the
// start-up warning, the event loop).
//
// Threads: the Qt main thread only. Ownership: ApplicationWindow owns the
// window, its generated UI and the controller, and destroys the controller
// first, since the controller points at the window's widgets.

#include <memory>

class Controller;
class QCoreApplication;
class QMainWindow;
namespace Ui {
class MainWindow;
}

// The window from MainWindow.ui and its controller, built and connected as
// the program runs them; the tests build the same.
class ApplicationWindow {
  public:
    ApplicationWindow();
    ~ApplicationWindow();
    ApplicationWindow(const ApplicationWindow&) = delete;
    ApplicationWindow& operator=(const ApplicationWindow&) = delete;

    QMainWindow& Window() const { return *m_window; }
    Controller& GetController() const { return *m_controller; }

  private:
    // Points the controller's outlets at the window's widgets and connects
    // the widgets' actions to it, as an interface loader does.
    void ConnectController();

    std::unique_ptr<QMainWindow> m_window;
    std::unique_ptr<Ui::MainWindow> m_ui;
    std::unique_ptr<Controller> m_controller;  // destroyed first
};

// Installs the translations for the user's language (LANGUAGE, LC_ALL,
// LC_MESSAGES, LANG; "C" keeps English): the program's own, from
// share/usb-image-writer/translations beside its bin directory, and Qt's for
// its dialogs. They belong to the application object.
void InstallTranslations(QCoreApplication& application);

// The program: QApplication, ApplicationWindow, the start-up warning, the
// event loop.
int ApplicationMain(int argc, char** argv);
