#pragma once
// A desktop notification (org.freedesktop.Notifications on the session bus),
// for results the user may have walked away from.
//
// Threads: the Qt main thread. Fire and forget: the call is sent
// asynchronously and its answer ignored, so a missing or hung notification
// service changes nothing and makes nobody wait.

#include <QString>

namespace platform {

void NotifyDesktop(const QString& summary, const QString& body, bool error);

}  // namespace platform
