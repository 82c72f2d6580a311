#include "window/Alerts.h"

#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

void OpenSheet(QWidget* window, const QString& title, const QString& defaultButton,
               const QString& alternateButton, bool escapeIsDefault, const QString& message,
               std::function<void(int code)> ended) {
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    // Laid out like the sheet it stands for: the title as the headline, the
    // message below it.
    box->setWindowTitle(title);
    box->setIcon(QMessageBox::Warning);
    box->setText(title);
    box->setInformativeText(message);
    QPushButton* defaultPush = box->addButton(
        defaultButton, escapeIsDefault ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
    QPushButton* alternatePush = box->addButton(
        alternateButton, escapeIsDefault ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
    box->setDefaultButton(defaultPush);
    QPushButton* escapePush = escapeIsDefault ? defaultPush : alternatePush;
    box->setEscapeButton(escapePush);
    QObject::connect(box, &QMessageBox::finished, box, [=, ended = std::move(ended)](int) {
        QAbstractButton* clicked = box->clickedButton();
        if (clicked == nullptr) clicked = escapePush;
        ended(clicked == defaultPush ? 1 : 0);
    });
    box->open();
}

void RunAlert(QWidget* window, bool critical, const QString& text, const QString& message,
              const QString& reason, const QString& button) {
    QMessageBox box(window);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(QApplication::applicationDisplayName());
    box.setIcon(critical ? QMessageBox::Critical : QMessageBox::Information);
    box.setText(text);
    box.setInformativeText(reason.isEmpty() ? message : message + QStringLiteral("\n\n") + reason);
    box.addButton(button, QMessageBox::AcceptRole);
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setMinimumWidth(std::min(std::max(label->fontMetrics().horizontalAdvance(message),
                                                 label->fontMetrics().horizontalAdvance(reason)) +
                                            8,
                                        640));
    box.exec();
}

void AskText(QWidget* window, const QString& title, const QString& label, const QString& text,
             std::function<void(const QString&)> accepted) {
    auto* dialog = new QInputDialog(window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setWindowTitle(title);
    dialog->setLabelText(label);
    dialog->setTextValue(text);
    QObject::connect(dialog, &QInputDialog::textValueSelected, dialog, std::move(accepted));
    dialog->open();
}

QTimer* StartTimer(QObject* owner, int milliseconds, bool repeats, bool kept,
                   std::function<void(QTimer*)> fired) {
    auto* timer = new QTimer(owner);
    timer->setSingleShot(!repeats);
    timer->setInterval(milliseconds);
    QObject::connect(timer, &QTimer::timeout, owner, [timer, kept, fired = std::move(fired)] {
        fired(timer);
        if (!kept) timer->deleteLater();
    });
    timer->start();
    return timer;
}

void ReleaseTimer(QTimer*& timer) {
    if (timer == nullptr) return;
    timer->stop();
    timer->deleteLater();
    timer = nullptr;
}

QString ElidedLines(const QWidget* widget, const QString& text, int width) {
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = widget->fontMetrics().elidedText(line, Qt::ElideMiddle, width);
    return lines.join(QLatin1Char('\n'));
}

QString WrappedLines(const QWidget* widget, const QString& text, int width) {
    const QFontMetrics metrics = widget->fontMetrics();
    QStringList out;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        QString current;
        for (const QString& word : line.split(QLatin1Char(' '))) {
            const QString longer = current.isEmpty() ? word : current + QLatin1Char(' ') + word;
            if (current.isEmpty() || metrics.horizontalAdvance(longer) <= width) {
                current = longer;
                continue;
            }
            out << metrics.elidedText(current, Qt::ElideMiddle, width);
            current = word;
        }
        out << metrics.elidedText(current, Qt::ElideMiddle, width);
    }
    return out.join(QLatin1Char('\n'));
}
