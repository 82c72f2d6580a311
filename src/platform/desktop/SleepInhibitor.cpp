#include "platform/desktop/SleepInhibitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

namespace platform {

void SleepInhibitor::Hold() {
    m_wanted = true;
    if (m_fd >= 0 || m_asked) return;
    // A private connection: the bus named by DBUS_SYSTEM_BUS_ADDRESS now.
    const QString address = qEnvironmentVariable(
        "DBUS_SYSTEM_BUS_ADDRESS", QStringLiteral("unix:path=/var/run/dbus/system_bus_socket"));
    QDBusConnection bus =
        QDBusConnection::connectToBus(address, QStringLiteral("imagewriter-logind"));
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("USB Image Writer")
         << QStringLiteral("Writing an image to a USB stick") << QStringLiteral("block");
    m_asked = true;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        m_asked = false;
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (reply.isError() || !reply.value().isValid()) return;  // no logind: no lock
        m_fd = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        if (!m_wanted) Release();  // the work ended before the answer came
    });
}

void SleepInhibitor::Release() {
    m_wanted = false;
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

}  // namespace platform
