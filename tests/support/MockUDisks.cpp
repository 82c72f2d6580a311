#include "support/MockUDisks.h"

#include <signal.h>
#include <sys/prctl.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QtTest>
#include <atomic>

namespace testsupport {

namespace {

constexpr int kWaitMs = 30000;  // bound for things that must happen, not a measure
std::atomic<int> g_counter{0};

std::unique_ptr<QProcess> Spawn(const QString& program, const QStringList& arguments,
                                bool readOutput) {
    auto process = std::make_unique<QProcess>();
    // Both die with the test process, even when it crashes.
    process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    // dbus-daemon's complaints about fd limits are noise; python's errors are not.
    if (readOutput) {
        process->setStandardErrorFile(QProcess::nullDevice());
    } else {
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardOutputFile(QProcess::nullDevice());
    }
    process->start(program, arguments);
    return process;
}

}  // namespace

MockUDisks::MockUDisks() : m_connectionName(QStringLiteral("mock-udisks-%1").arg(g_counter++)) {}

MockUDisks::~MockUDisks() {
    for (auto* process : {m_mock.get(), m_bus.get()}) {
        if (!process) continue;
        process->kill();
        process->waitForFinished(kWaitMs);
    }
    QDBusConnection::disconnectFromBus(m_connectionName);
    if (qgetenv("DBUS_SYSTEM_BUS_ADDRESS") == m_address.toUtf8())
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

bool MockUDisks::Start(QString* why) {
    m_bus = Spawn(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--print-address"),
                   QStringLiteral("--nofork")},
                  true);
    while (m_bus->waitForReadyRead(kWaitMs) && !m_bus->canReadLine()) {
    }
    m_address = QString::fromUtf8(m_bus->readLine()).trimmed();
    QDBusConnection bus = QDBusConnection::connectToBus(m_address, m_connectionName);
    if (!bus.isConnected()) {
        *why = QStringLiteral("no private bus: ") + m_bus->errorString();
        return false;
    }
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
    m_mock = Spawn(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"),
                    QStringLiteral(TEST_SOURCE_DIR "/support/udisks2_mock.py"),
                    QStringLiteral("--logfile"), QStringLiteral("/dev/null")},
                   false);
    const bool up = QTest::qWaitFor(
        [&] {
            m_mockOwner = bus.interface()->serviceOwner(QStringLiteral("org.freedesktop.UDisks2"));
            return !m_mockOwner.isEmpty() || m_mock->state() == QProcess::NotRunning;
        },
        kWaitMs);
    if (!up || m_mockOwner.isEmpty()) {
        *why = QStringLiteral(
            "python3 -m dbusmock did not take org.freedesktop.UDisks2 "
            "(python3-dbusmock installed?)");
        return false;
    }
    return true;
}

bool MockUDisks::Call(const QString& method, const QVariantList& args, QVariant* result) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(m_mockOwner, QStringLiteral("/org/freedesktop/UDisks2"),
                                       QStringLiteral("org.freedesktop.DBus.Mock"), method);
    call.setArguments(args);
    const QDBusMessage reply = QDBusConnection(m_connectionName).call(call, QDBus::Block, kWaitMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qWarning("mock UDisks2 %s: %s", qPrintable(method), qPrintable(reply.errorMessage()));
        return false;
    }
    if (result && !reply.arguments().isEmpty()) *result = reply.arguments().at(0);
    return true;
}

bool MockUDisks::AddStick(const QString& id, const QByteArray& device, const QString& vendor,
                          const QString& model, quint64 size, const QString& connectionBus) {
    return Call(QStringLiteral("AddStick"),
                {id, device, vendor, model, QVariant::fromValue<qulonglong>(size), connectionBus});
}

bool MockUDisks::AddPartition(const QString& stickId, int number, const QByteArray& device,
                              const QByteArray& mountPoint) {
    return Call(QStringLiteral("AddPartition"), {stickId, number, device, mountPoint});
}

bool MockUDisks::RemoveStick(const QString& id) {
    return Call(QStringLiteral("RemoveStick"), {id});
}

bool MockUDisks::SetDriveProperty(const QString& id, const QString& name, const QVariant& value) {
    QVariantList values;
    if (value.isValid()) values.append(QVariant::fromValue(QDBusVariant(value)));
    return Call(QStringLiteral("SetDriveProperty"), {id, name, values});
}

bool MockUDisks::FailNextLoads(int count) {
    return Call(QStringLiteral("FailNextLoads"), {count});
}

bool MockUDisks::SetUnmountError(const QByteArray& device, const QString& errorName,
                                 const QString& message) {
    return Call(QStringLiteral("SetUnmountError"), {device, errorName, message});
}

QStringList MockUDisks::UnmountCalls() {
    QVariant calls;
    Call(QStringLiteral("UnmountCalls"), {}, &calls);
    return calls.toStringList();
}

bool MockUDisks::StopService() {
    return Call(QStringLiteral("StopService"), {});
}

bool MockUDisks::StartService() {
    return Call(QStringLiteral("StartService"), {});
}

}  // namespace testsupport
