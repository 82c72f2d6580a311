#pragma once
// StickJob: the work on a stick once it is unmounted, other than a write: a
// clear, an everyday stick. It runs without blocking the window, may be
// given up while it waits on a password prompt, and reports once, on the
// window's thread: whether it did its work, the message box's text and the
// sentence below it, and what the line under the progress bar then says.
//
// Threads: the window's thread. Ownership: the controller owns its jobs.

#include <QObject>
#include <QString>

class StickJob : public QObject {
    Q_OBJECT
  public:
    bool Running() const { return m_running; }
    // Gives up a password prompt the job waits on; it then fails.
    virtual void Abandon() = 0;

  signals:
    void finished(bool ok, const QString& message, const QString& reason, const QString& line);

  protected:
    bool m_running = false;
};
