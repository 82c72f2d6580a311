// The capacity probe: its verdict and bound on simulated counterfeits (the
// planner and judge alone), and on fake sticks through a loop device, where
// the stick's flash must hold the same bytes before and after.

#include <QtTest>
#include <future>

#include "support/FakeStick.h"
#include "support/TestSupport.h"
#include "writer/CapacityProbe.h"

Q_DECLARE_METATYPE(CapacityKind)

namespace {

constexpr qint64 KiB = 1024, MiB = KiB * KiB, GiB = MiB * KiB;

// What a stick whose flash holds `real` bytes gives back for a round of
// markers written in the plan's order: "wrap" (offset modulo real), "drop",
// "frozen"; anything else is genuine. A read gives the last marker written
// to exactly its place, or none when a later write overlapped it.
std::vector<MarkerSeen> Simulate(const CapacityPlan& plan, const QString& model, qint64 real) {
    const qint64 b = plan.blockBytes;
    auto place = [&](qint64 offset) { return model == "wrap" ? offset % real : offset; };
    std::vector<MarkerSeen> seen;
    for (qint64 offset : plan.offsets) {
        const bool lost = model == "frozen" || (model == "drop" && offset + b > real);
        std::int64_t from = lost ? kNoMarker : offset;
        for (qint64 later : plan.offsets)
            if (model == "wrap" && std::abs(place(later) - place(offset)) < b)
                from = place(later) == place(offset) ? later : kNoMarker;
        seen.push_back({offset, from});
    }
    return seen;
}

}  // namespace

class CapacityTest : public QObject {
    Q_OBJECT

  private slots:
    void judge_data() {
        QTest::addColumn<qint64>("claimed");
        QTest::addColumn<int>("sector");
        QTest::addColumn<QString>("model");
        QTest::addColumn<qint64>("real");
        QTest::addColumn<CapacityKind>("kind");
        QTest::addColumn<qint64>("least");  // the lowest bound that is good enough
        auto row = [](const char* name, qint64 claimed, int sector, const char* model, qint64 real,
                      CapacityKind kind, qint64 least) {
            QTest::newRow(name) << claimed << sector << model << real << kind << least;
        };
        const auto G = CapacityKind::Genuine, W = CapacityKind::Wraps, D = CapacityKind::Drops;
        const qint64 TB = 1000204886016;
        row("genuine 64 GiB", 64 * GiB, 512, "", 64 * GiB, G, 64 * GiB);
        row("genuine 1 TB, 4k", TB, 4096, "", TB, G, TB);
        row("genuine 12 MiB", 12 * MiB, 512, "", 12 * MiB, G, 12 * MiB);
        row("genuine 5 MiB, within the eviction region", 5 * MiB, 512, "", 5 * MiB, G, 5 * MiB);
        row("wraps at 8 GiB of 64", 64 * GiB, 512, "wrap", 8 * GiB, W, 6 * GiB);
        row("wraps at 8 GiB of 64, 4k", 64 * GiB, 4096, "wrap", 8 * GiB, W, 6 * GiB);
        row("wraps at 2 GiB of 16 GB", 16000000000, 512, "wrap", 2 * GiB, W, GiB);
        row("wraps at 64 MiB of 2 TB", 2 * TB, 512, "wrap", 64 * MiB, W, 32 * MiB);
        row("wraps at 7.5 GiB of 32", 32 * GiB, 512, "wrap", 15 * GiB / 2, W, 7 * GiB);
        row("wraps at 30 GiB of 32", 32 * GiB, 512, "wrap", 30 * GiB, W, 29 * GiB);
        row("drops from 7.8 GB of 64 GiB", 64 * GiB, 512, "drop", 7800000000, D, 7780000000);
        row("drops from 100 MiB of 16 GB, 4k", 16000000000, 4096, "drop", 100 * MiB, D, 96 * MiB);
        row("drops only the last MiB", 8 * GiB, 512, "drop", 8 * GiB - MiB, D, 8 * GiB - 4 * MiB);
        row("drops from 6 MiB", 8 * GiB, 512, "drop", 6 * MiB, D, 4 * KiB);
        row("frozen", 8 * GiB, 512, "frozen", 8 * GiB, D, 0);
    }
    // The rounds as the runner makes them, on a simulated stick: the kind, a
    // bound never above the real size and not far below it, and few markers.
    void judge() {
        QFETCH(qint64, claimed);
        QFETCH(int, sector);
        QFETCH(QString, model);
        QFETCH(qint64, real);
        QFETCH(CapacityKind, kind);
        QFETCH(qint64, least);
        CapacityPlan plan = PlanCapacityProbe(claimed, sector);
        QVERIFY(!plan.offsets.empty());
        QCOMPARE(qint64(plan.offsets.back()),
                 claimed / plan.blockBytes * plan.blockBytes - plan.blockBytes);
        std::vector<MarkerSeen> seen;
        std::size_t rounds = 0, most = 0;
        for (; !plan.offsets.empty(); plan = PlanCapacityRefinement(plan, seen), ++rounds) {
            most = std::max(most, plan.offsets.size());
            const std::vector<MarkerSeen> round = Simulate(plan, model, real);
            seen.insert(seen.end(), round.begin(), round.end());
        }
        const CapacityVerdict verdict = JudgeCapacity(claimed, plan.blockBytes, seen);
        QCOMPARE(verdict.kind, kind);
        QVERIFY2(verdict.realBytes <= real && verdict.realBytes >= least,
                 qPrintable(QString::number(verdict.realBytes)));
        QVERIFY(rounds <= 4 && most <= 48);
    }

    void stick_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<qint64>("real");
        QTest::addColumn<qint64>("cache");
        QTest::addColumn<qint64>("evict");
        QTest::addColumn<qint64>("eioAt");
        QTest::addColumn<qint64>("stallAt");  // cancelled while that write stalls
        QTest::addColumn<CapacityKind>("kind");
        QTest::addColumn<qint64>("least");
        QTest::addColumn<qint64>("most");
        auto row = [](const char* name, const char* mode, qint64 real, qint64 cache, qint64 evict,
                      qint64 eioAt, qint64 stallAt, CapacityKind kind, qint64 least, qint64 most) {
            QTest::newRow(name) << mode << real << cache << evict << eioAt << stallAt << kind
                                << least << most;
        };
        const auto G = CapacityKind::Genuine, W = CapacityKind::Wraps, D = CapacityKind::Drops;
        const qint64 E = kCapacityEvictBytes, C = 64 * MiB, R = 32 * MiB;
        row("genuine", "genuine", C, 0, E, -1, -1, G, C, C);
        row("wrap", "wrap", R, 0, E, -1, -1, W, 24 * MiB, R);
        row("drop", "drop", R, 0, E, -1, -1, D, R - MiB, R);
        row("frozen", "frozen", C, 0, E, -1, -1, D, 0, 0);
        row("cached wrap", "wrap", R, MiB, E, -1, -1, W, 24 * MiB, R);
        row("cached drop", "drop", R, E, E, -1, -1, D, R - MiB, R);
        // Unevicted, the cache fools the probe: what the eviction defeats is real.
        row("cached wrap, nothing evicted", "wrap", R, MiB, 0, -1, -1, G, C, C);
        row("EIO from 40 MiB", "genuine", C, 0, E, 40 * MiB, -1, CapacityKind::Failed, -1, -1);
        row("cancelled at 40 MiB", "genuine", C, 0, E, -1, 40 * MiB, CapacityKind::Cancelled, -1,
            -1);
    }
    void stick() {
        REQUIRE_ROOT();
        QFETCH(QString, mode);
        QFETCH(qint64, real);
        QFETCH(qint64, cache);
        QFETCH(qint64, evict);
        QFETCH(qint64, eioAt);
        QFETCH(qint64, stallAt);
        QFETCH(CapacityKind, kind);
        QFETCH(qint64, least);
        QFETCH(qint64, most);
        testsupport::FakeStick stick;
        std::string why;
        QVERIFY2(stick.Start({64 * MiB, real, mode.toStdString(), eioAt, stallAt, 0, cache}, &why),
                 why.c_str());
        std::string before;
        QVERIFY(testsupport::MakeImage("", stick.StorePath(), real, "", &before) ==
                stick.StorePath());
        const platform::OpenedDevice device =
            platform::OpenDeviceForWriting(stick.Device().c_str(), true, true);
        QVERIFY(device.fd >= 0 && device.direct);
        std::atomic<bool> cancel{false};
        auto probe =
            std::async(std::launch::async, [&] { return RunCapacityProbe(device, cancel, evict); });
        if (stallAt >= 0) {
            QVERIFY(stick.WaitStalled());
            cancel = true;
            stick.Release();
        }
        const CapacityVerdict verdict = probe.get();
        close(device.fd);
        QCOMPARE(verdict.kind, kind);
        QVERIFY2(verdict.realBytes >= least && verdict.realBytes <= most,
                 qPrintable(QString::number(verdict.realBytes)));
        QCOMPARE(verdict.error, kind == CapacityKind::Failed ? EIO : 0);
        QVERIFY(verdict.restored);
        QVERIFY(testsupport::ReadBytes(stick.StorePath()) == before);
    }
};

QTEST_GUILESS_MAIN(CapacityTest)
#include "test_capacity.moc"
