#include "support/MockUDisks.h"

#include <signal.h>
#include <sys/prctl.h>

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QtTest>

namespace testsupport {

namespace {
constexpr int kWaitMs = 30000;  // bound for things that must happen, not a measure
const QString kConnection = QStringLiteral("mock-udisks");
}  // namespace

MockUDisks::~MockUDisks() {
    for (QProcess* process : {m_mock.get(), m_bus.get()}) {
        if (process) process->kill();
        if (process) process->waitForFinished(kWaitMs);
    }
    QDBusConnection::disconnectFromBus(kConnection);
    if (qgetenv("DBUS_SYSTEM_BUS_ADDRESS") == m_address.toUtf8())
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

bool MockUDisks::Start(QString* why) {
    m_bus = std::make_unique<QProcess>();
    m_mock = std::make_unique<QProcess>();
    for (QProcess* process : {m_bus.get(), m_mock.get()}) {
        process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process->setStandardErrorFile(QProcess::nullDevice());
    }
    m_bus->start("dbus-daemon", {"--session", "--print-address", "--nofork"});
    while (!m_bus->canReadLine() && m_bus->waitForReadyRead(kWaitMs)) {
    }
    m_address = QString::fromUtf8(m_bus->readLine()).trimmed();
    QDBusConnection bus = QDBusConnection::connectToBus(m_address, kConnection);
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
    m_mock->setStandardOutputFile(QProcess::nullDevice());  // its log of calls
    m_mock->start("/usr/bin/python3",
                  {"-m", "dbusmock", "--template", TEST_SOURCE_DIR "/support/udisks2_mock.py"});
    const auto owned = [&] {
        m_owner = bus.interface()->serviceOwner("org.freedesktop.UDisks2");
        return !m_owner.isEmpty() || m_mock->state() == QProcess::NotRunning;
    };
    if (bus.isConnected() && QTest::qWaitFor(owned, kWaitMs) && !m_owner.isEmpty()) return true;
    *why = "python3 -m dbusmock did not take org.freedesktop.UDisks2 (python3-dbusmock?)";
    return false;
}

bool MockUDisks::Call(const char* method, const QVariantList& args) {
    QDBusMessage call = QDBusMessage::createMethodCall(m_owner, "/org/freedesktop/UDisks2",
                                                       "org.freedesktop.DBus.Mock", method);
    call.setArguments(args);
    const QDBusMessage reply = QDBusConnection(kConnection).call(call, QDBus::Block, kWaitMs);
    m_reply = reply.arguments();
    if (reply.type() == QDBusMessage::ReplyMessage) return true;
    qWarning("mock UDisks2: %s: %s", method, qPrintable(reply.errorMessage()));
    return false;
}

}  // namespace testsupport
