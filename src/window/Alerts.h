#pragma once
// The window's two kinds of message box, laid out once: a sheet (modal to
// the window, it does not block; its end tells which button was pressed)
// and an alert (modal to the application; it returns when dismissed). And
// text cut to fit a label, so that long names never widen the window.
//
// Threads: the window's thread. Ownership: a sheet belongs to its window
// and deletes itself when closed.

#include <QString>
#include <functional>

class QObject;
class QTimer;
class QWidget;

// A sheet on `window` with the title as its headline and two buttons.
// `ended` gets 1 for the default button, 0 for the alternate one; a sheet
// that goes away without a press counts as its escape button (the default
// one when `escapeIsDefault`), so it can never confirm anything.
void OpenSheet(QWidget* window, const QString& title, const QString& defaultButton,
               const QString& alternateButton, bool escapeIsDefault, const QString& message,
               std::function<void(int code)> ended);

// An application-modal box with one button; `reason`, when given, stands
// below the message. Wide enough that the message, and a reason of up to 640
// pixels, stay on one line each.
void RunAlert(QWidget* window, bool critical, const QString& text, const QString& message,
              const QString& reason, const QString& button);

// A sheet on `window` that asks for one line of text, `text` to start with;
// `accepted` gets what the user typed when the sheet is confirmed.
void AskText(QWidget* window, const QString& title, const QString& label, const QString& text,
             std::function<void(const QString&)> accepted);

// A timer of the window's: `fired` runs on its every timeout (with the timer,
// never null); one that is not `kept` is deleted once it has fired, a kept
// one is stopped and deleted by ReleaseTimer, which also empties its holder.
QTimer* StartTimer(QObject* owner, int milliseconds, bool repeats, bool kept,
                   std::function<void(QTimer*)> fired);
void ReleaseTimer(QTimer*& timer);

// Each line of `text` cut in the middle to `width` pixels in `widget`'s font.
QString ElidedLines(const QWidget* widget, const QString& text, int width);
// Each line of `text` broken between words to fit `width` pixels in
// `widget`'s font (a word wider than that is cut in its middle). Breaks of
// its own, not the label's word wrap: the window then grows to the lines.
QString WrappedLines(const QWidget* widget, const QString& text, int width);
