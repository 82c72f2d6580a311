// The installed program as a whole process: it starts on a machine without
// a disk service, and a termination signal ends it through its own teardown,
// leaving no temporary directory behind.

#include <signal.h>

#include <QDir>
#include <QProcess>
#include <QtTest>

#include "support/TestSupport.h"

class ProgramTest : public QObject {
    Q_OBJECT

  private slots:
    void endsCleanlyOnSignals_data();
    void endsCleanlyOnSignals();
};

void ProgramTest::endsCleanlyOnSignals_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void ProgramTest::endsCleanlyOnSignals() {
    QFETCH(int, signal);
    QTemporaryDir tmp;
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", tmp.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", tmp.path());
    // No disk service at all: the program must still come up.
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + tmp.filePath("no-bus"));
    program.setProcessEnvironment(env);
    program.start(APP_BINARY, {});
    QVERIFY(program.waitForStarted());

    // It is up once its private directory exists.
    const QDir dir(tmp.path());
    const QStringList filter{"usb-image-writer.*"};
    QVERIFY(QTest::qWaitFor([&] { return !dir.entryList(filter, QDir::Dirs).isEmpty(); }, 20000));
    const QString temp = dir.filePath(dir.entryList(filter, QDir::Dirs).first());
    QVERIFY(testsupport::WriteBytes((temp + "/veskImage.img").toStdString(), "partial image"));
    QTest::qWait(500);  // let it reach its event loop

    QCOMPARE(::kill(static_cast<pid_t>(program.processId()), signal), 0);
    QVERIFY2(program.waitForFinished(20000), "the program did not end");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY2(dir.entryList(filter, QDir::Dirs).isEmpty(), "temporary directory left behind");
    const QString errors = QString::fromLocal8Bit(program.readAllStandardError());
    QVERIFY2(!errors.contains("ERROR: AddressSanitizer") && !errors.contains("runtime error"),
             qPrintable(errors));
}

QTEST_GUILESS_MAIN(ProgramTest)
#include "test_e2e_program.moc"
