#include "platform/desktop/DesktopNotification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QVariantMap>

namespace platform {

void NotifyDesktop(const QString& summary, const QString& body, bool error) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // Urgency 2 (critical) keeps a failure on screen until it is seen.
    const QVariantMap hints{{QStringLiteral("urgency"), QVariant::fromValue<uchar>(error ? 2 : 1)}};
    call << QStringLiteral("USB Image Writer") << 0u
         << QStringLiteral("org.usbimagewriter.UsbImageWriter") << summary << body << QStringList()
         << hints << -1;
    // Without a service the error reply comes to nobody.
    bus.asyncCall(call);
}

}  // namespace platform
