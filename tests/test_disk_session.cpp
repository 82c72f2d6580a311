// The delivery rules of DiskSession, on the in-process fake service.

#include <QtTest>
#include <string>
#include <vector>

#include "support/FakeDiskService.h"

using platform::DiskObject;
using platform::DiskSession;
using testsupport::FakeDiskService;

namespace {

struct Event {
    char kind;  // '+' found, '-' lost
    std::string name;
    std::optional<platform::DiskDescription> description;
};

// Records what a session tells; may act on the session from inside a callback.
struct Recorder {
    std::vector<Event> events;
    DiskSession* session = nullptr;
    int unscheduleAfter = -1;  // unschedule when this many events were seen
    bool destroyAfterFirst = false;
    std::unique_ptr<DiskSession>* owner = nullptr;

    void Attach(DiskSession& s) {
        session = &s;
        s.RegisterDiskAppearedCallback(&Recorder::Found, this);
        s.RegisterDiskDisappearedCallback(&Recorder::Lost, this);
    }
    void Record(char kind, const DiskObject& disk) {
        events.push_back({kind, disk.bsdName, disk.description});
        if (static_cast<int>(events.size()) == unscheduleAfter) session->UnscheduleFromMainLoop();
        if (destroyAfterFirst && owner) owner->reset();
    }
    static void Found(const DiskObject& disk, void* self) {
        static_cast<Recorder*>(self)->Record('+', disk);
    }
    static void Lost(const DiskObject& disk, void* self) {
        static_cast<Recorder*>(self)->Record('-', disk);
    }
    std::string Text() const {
        std::string text;
        for (const Event& e : events) text += std::string(1, e.kind) + e.name + " ";
        return text;
    }
};

void Drain() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

}  // namespace

class DiskSessionTest : public QObject {
    Q_OBJECT
  private slots:
    void firstScheduleDeliversEveryDiskOnce() {
        FakeDiskService service;
        service.AddDisk("sdb", FakeDiskService::UsbDisk("B", 1, "b"));
        service.AddDisk("sdc", FakeDiskService::UsbDisk("C", 2, "c"));
        auto session = service.CreateSession();
        Recorder rec;
        rec.Attach(*session);

        Drain();
        QCOMPARE(rec.Text(), std::string());  // nothing before the schedule
        session->ScheduleWithMainLoop();
        QCOMPARE(rec.Text(), std::string());  // never from inside the call
        Drain();
        QCOMPARE(rec.Text(), std::string("+sdb +sdc "));
        session->UnscheduleFromMainLoop();
        session->ScheduleWithMainLoop();
        Drain();
        QCOMPARE(rec.Text(), std::string("+sdb +sdc "));  // nothing twice

        // Live changes while scheduled.
        service.AddDisk("sdd", FakeDiskService::UsbDisk("D", 3, "d"));
        service.RemoveDisk("sdb");
        Drain();
        QCOMPARE(rec.Text(), std::string("+sdb +sdc -sdb +sdd "));
    }

    void unscheduledSessionLearnsOnlyTheDifference() {
        FakeDiskService service;
        const auto a = FakeDiskService::UsbDisk("A", 10, "a");
        service.AddDisk("sda", a);
        service.AddDisk("sdb", FakeDiskService::UsbDisk("B", 20, "b"));
        auto session = service.CreateSession();
        Recorder rec;
        rec.Attach(*session);
        session->ScheduleWithMainLoop();
        Drain();
        session->UnscheduleFromMainLoop();
        session->UnscheduleFromMainLoop();  // twice does nothing
        rec.events.clear();

        service.RemoveDisk("sda");
        service.AddDisk("sdc", FakeDiskService::UsbDisk("C", 30, "c"));
        service.AddDisk("sdx", FakeDiskService::UsbDisk("X", 40, "x"));  // came and went
        service.RemoveDisk("sdx");
        Drain();
        QVERIFY(rec.events.empty());

        session->ScheduleWithMainLoop();
        Drain();
        QCOMPARE(rec.Text(), std::string("-sda +sdc "));
        // The vanished disk still has its name and its description.
        QVERIFY(rec.events[0].description.has_value());
        QCOMPARE(*rec.events[0].description, a);
    }

    void changedDescriptionIsLostThenFound() {
        FakeDiskService service;
        const auto before = FakeDiskService::UsbDisk("Old", 1000, "old");
        const auto after = FakeDiskService::UsbDisk("New", 2000, "new");
        service.AddDisk("sdb", before);
        auto session = service.CreateSession();
        Recorder rec;
        rec.Attach(*session);
        session->ScheduleWithMainLoop();
        Drain();
        service.AddDisk("sdb", before);  // the same again: no news
        Drain();
        QCOMPARE(rec.Text(), std::string("+sdb "));

        service.AddDisk("sdb", after);
        Drain();
        QCOMPARE(rec.Text(), std::string("+sdb -sdb +sdb "));
        QCOMPARE(*rec.events[1].description, before);
        QCOMPARE(*rec.events[2].description, after);
    }

    void callbackMayUnscheduleOrDestroyMidDelivery() {
        FakeDiskService service;
        for (const char* name : {"sdb", "sdc", "sdd"})
            service.AddDisk(name, FakeDiskService::UsbDisk(name, 1, name));

        auto session = service.CreateSession();
        Recorder rec;
        rec.Attach(*session);
        rec.unscheduleAfter = 1;
        session->ScheduleWithMainLoop();
        Drain();
        QCOMPARE(rec.Text(), std::string("+sdb "));  // stopped at once
        rec.unscheduleAfter = -1;
        session->ScheduleWithMainLoop();
        Drain();
        QCOMPARE(rec.Text(), std::string("+sdb +sdc +sdd "));  // the rest, once

        // A callback that destroys its own session ends the delivery cleanly.
        auto doomed = service.CreateSession();
        Recorder killer;
        killer.Attach(*doomed);
        killer.owner = &doomed;
        killer.destroyAfterFirst = true;
        doomed->ScheduleWithMainLoop();
        Drain();
        QVERIFY(!doomed);
        QCOMPARE(killer.Text(), std::string("+sdb "));
        service.AddDisk("sde", FakeDiskService::UsbDisk("E", 1, "e"));  // no session to tell
        Drain();
        QCOMPARE(killer.Text(), std::string("+sdb "));
    }

    void destroyedSessionDropsPostedDelivery() {
        FakeDiskService service;
        service.AddDisk("sdb", FakeDiskService::UsbDisk("B", 1, "b"));
        Recorder rec;
        {
            auto session = service.CreateSession();
            rec.Attach(*session);
            session->ScheduleWithMainLoop();  // delivery posted, then the session goes
        }
        Drain();
        QVERIFY(rec.events.empty());
    }
};

QTEST_GUILESS_MAIN(DiskSessionTest)
#include "test_disk_session.moc"
