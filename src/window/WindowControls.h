#pragma once
// WindowControls: how the window's controls show what the controller
// decides: the controls of an operation mode, the write button (its title,
// and what pressing it does), the line under the progress bar, the controls
// an operation holds until its result (given back exactly as they were),
// texts cut to fit their label, the controls that follow another's enabled
// state (the check boxes follow "Choose Image…", "Make Everyday Stick…"
// follows "Clear Device"), and the window's close request.
//
// Threads: the window's thread. Ownership: points at the window's widgets,
// which the window owns; the controller owns this object and destroys it
// before the window.

#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

class QComboBox;
class QLabel;
class QWidget;
class QMainWindow;
namespace Ui {
class MainWindow;
}

class WindowControls : public QObject {
    Q_OBJECT
  public:
    // What a mode shows (shown/hidden) and allows (on/off).
    struct Mode {
        bool scanShown, refresh, choose, infoShown, progressShown, write, clear, quit;
    };

    // The controls of the operation mode `mode` (the controller's
    // OperationMode); none for a value that is not one.
    static std::optional<Mode> ModeRow(std::int32_t mode);

    // `mayClose`: asked when the user closes the window; it closes on true.
    WindowControls(QMainWindow* window, Ui::MainWindow& ui, std::function<bool()> mayClose);

    // The controls in the order a mode sets them; the busy indicator
    // animates while shown.
    void Apply(const Mode& mode);
    // The write button reads `title` and runs `action`; it is held off while
    // it changes, then `enabled`.
    void SetWriteButton(const QString& title, std::function<void()> action, bool enabled = true);
    // The line under the progress bar says `text`, and is shown.
    void ShowInfo(const QString& text);
    // Each line cut in the middle to the label's width; the whole text is
    // its tooltip, so a long name never widens the window.
    static void SetElided(QLabel* label, const QString& text);
    // The image's line: its name cut in the middle to fit, what follows it
    // (the checksum, what the image holds, a warning) wrapped, so that a
    // warning is read whole; all of it in the tooltip.
    static void SetImageLine(QLabel* label, const QString& text);
    // Fills the emptied stick list: the placeholder, selected, then the names
    // (cut to fit, whole as their tooltips).
    static void ListSticks(QComboBox* list, const QString& placeholder, const QStringList& names);

    // Holds the controls that start other work (refresh, choose, write,
    // clear), as they stand, and Quit's state; GiveBack restores them.
    void Hold();
    void GiveBack(bool infoShown);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::array<QWidget*, 4> Held() const;

    Ui::MainWindow& m_ui;
    QMainWindow* m_window;
    std::function<bool()> m_mayClose;
    std::function<void()> m_writeAction;
    std::array<bool, 5> m_held{};
};
