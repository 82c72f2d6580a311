// The capacity probe: its verdict and bound on simulated counterfeits (the
// planner and judge alone), and on fake sticks through a loop device, where
// the stick's flash must hold the same bytes before and after.

#include <QtTest>
#include <future>

#include "support/FakeStick.h"
#include "writer/CapacityProbe.h"

namespace {

constexpr qint64 KiB = 1024, MiB = KiB * KiB, GiB = MiB * KiB, TB = 1000204886016;
constexpr auto G = CapacityKind::Genuine, W = CapacityKind::Wraps, D = CapacityKind::Drops;

// "model": "wrap" (offset modulo real), "drop", "frozen", else genuine.
// least: the lowest bound that is good enough; the bound is never above real.
struct JudgeRow {
    std::string_view name, model;
    qint64 claimed, real, least;
    int sector;
    CapacityKind kind;
} const kJudgeRows[] = {
    {"genuine 64 GiB", "", 64 * GiB, 64 * GiB, 64 * GiB, 512, G},
    {"genuine 1 TB, 4k", "", TB, TB, TB, 4096, G},
    {"genuine 5 MiB, within the eviction region", "", 5 * MiB, 5 * MiB, 5 * MiB, 512, G},
    {"wraps at 8 GiB of 64", "wrap", 64 * GiB, 8 * GiB, 6 * GiB, 512, W},
    {"wraps at 2 GiB of 16 GB", "wrap", 16000000000, 2 * GiB, GiB, 512, W},
    {"wraps at 64 MiB of 2 TB", "wrap", 2 * TB, 64 * MiB, 32 * MiB, 512, W},
    {"wraps at 7.5 GiB of 32", "wrap", 32 * GiB, 15 * GiB / 2, 7 * GiB, 512, W},
    {"wraps at 30 GiB of 32", "wrap", 32 * GiB, 30 * GiB, 29 * GiB, 512, W},
    {"drops from 7.8 GB of 64 GiB", "drop", 64 * GiB, 7800000000, 7780000000, 512, D},
    {"drops from 100 MiB of 16 GB, 4k", "drop", 16000000000, 100 * MiB, 96 * MiB, 4096, D},
    {"drops only the last MiB", "drop", 8 * GiB, 8 * GiB - MiB, 8 * GiB - 4 * MiB, 512, D},
    {"drops from 6 MiB", "drop", 8 * GiB, 6 * MiB, 4 * KiB, 512, D},
    {"frozen", "frozen", 8 * GiB, 8 * GiB, 0, 512, D},
};

// A 64 MiB stick; fakes hold 32 MiB. stallAt: cancelled while that write stalls.
constexpr qint64 E = kCapacityEvictBytes, C = 64 * MiB, R = 32 * MiB;
struct StickRow {
    const char *name, *mode;
    qint64 real, cache, evict, eioAt, stallAt;
    CapacityKind kind;
    qint64 least, most;
} const kStickRows[] = {
    {"genuine", "genuine", C, 0, E, -1, -1, G, C, C},
    {"wrap", "wrap", R, 0, E, -1, -1, W, 24 * MiB, R},
    {"drop", "drop", R, 0, E, -1, -1, D, R - MiB, R},
    {"frozen", "frozen", C, 0, E, -1, -1, D, 0, 0},
    {"cached wrap", "wrap", R, MiB, E, -1, -1, W, 24 * MiB, R},
    {"cached drop", "drop", R, E, E, -1, -1, D, R - MiB, R},
    // Unevicted, the cache fools the probe: what the eviction defeats is real.
    {"cached wrap, nothing evicted", "wrap", R, MiB, 0, -1, -1, G, C, C},
    {"EIO from 40 MiB", "genuine", C, 0, E, 40 * MiB, -1, CapacityKind::Failed, -1, -1},
    {"cancelled at 40 MiB", "genuine", C, 0, E, -1, 40 * MiB, CapacityKind::Cancelled, -1, -1},
};

// What the row's stick gives back for a round of markers written in the
// plan's order: the last marker written to exactly its place, or none when a
// later write overlapped it.
std::vector<MarkerSeen> Simulate(const CapacityPlan& plan, const JudgeRow& r) {
    const qint64 b = plan.blockBytes;
    auto place = [&](qint64 offset) { return r.model == "wrap" ? offset % r.real : offset; };
    std::vector<MarkerSeen> seen;
    for (qint64 offset : plan.offsets) {
        const bool lost = r.model == "frozen" || (r.model == "drop" && offset + b > r.real);
        std::int64_t from = lost ? kNoMarker : offset;
        for (qint64 later : plan.offsets)
            if (r.model == "wrap" && std::abs(place(later) - place(offset)) < b)
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
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kJudgeRows)); ++i)
            QTest::newRow(kJudgeRows[i].name.data()) << i;
    }
    // The rounds as the runner makes them, on a simulated stick: the kind, a
    // bound never above the real size and not far below it, and few markers
    // (each costs two random writes, 20 ms each on a slow stick).
    void judge() {
        QFETCH(int, row);
        const JudgeRow& r = kJudgeRows[row];
        CapacityPlan plan = PlanCapacityProbe(r.claimed, r.sector);
        QCOMPARE(qint64(plan.offsets.back()),
                 r.claimed / plan.blockBytes * plan.blockBytes - plan.blockBytes);
        std::vector<MarkerSeen> seen;
        std::size_t rounds = 0, most = 0;
        for (; !plan.offsets.empty(); plan = PlanCapacityRefinement(plan, seen), ++rounds) {
            most = std::max(most, plan.offsets.size());
            const std::vector<MarkerSeen> round = Simulate(plan, r);
            seen.insert(seen.end(), round.begin(), round.end());
        }
        const CapacityVerdict verdict = JudgeCapacity(r.claimed, plan.blockBytes, seen);
        QCOMPARE(verdict.kind, r.kind);
        QVERIFY2(verdict.realBytes <= r.real && verdict.realBytes >= r.least,
                 qPrintable(QString::number(verdict.realBytes)));
        QVERIFY(rounds <= 4 && most <= 48);
    }

    void stick_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kStickRows)); ++i) QTest::newRow(kStickRows[i].name) << i;
    }
    void stick() {
        REQUIRE_ROOT();
        QFETCH(int, row);
        const StickRow& r = kStickRows[row];
        std::atomic<bool> cancel{false};
        std::future<CapacityVerdict> probe;  // outlives the stick, whose end releases a stall
        testsupport::FakeStick stick;
        std::string why;
        QVERIFY2(stick.Start({C, r.real, r.mode, r.eioAt, r.stallAt, 0, r.cache}, &why),
                 why.c_str());
        std::string before;
        QVERIFY(!testsupport::MakeImage("", stick.StorePath(), r.real, "", &before).empty());
        const platform::OpenedDevice device =
            platform::OpenDeviceForWriting(stick.Device().c_str(), true, true);
        QVERIFY(device.fd >= 0 && device.direct);
        probe = std::async(std::launch::async, [&cancel, device, r] {
            return RunCapacityProbe(device, cancel, r.evict);
        });
        if (r.stallAt >= 0) {
            QVERIFY(stick.WaitStalled());
            cancel = true;
            stick.Release();
        }
        const CapacityVerdict verdict = probe.get();
        close(device.fd);
        QCOMPARE(verdict.kind, r.kind);
        QVERIFY2(verdict.realBytes >= r.least && verdict.realBytes <= r.most,
                 qPrintable(QString::number(verdict.realBytes)));
        QCOMPARE(verdict.error, r.kind == CapacityKind::Failed ? EIO : 0);
        QVERIFY(verdict.restored);
        QVERIFY(testsupport::ReadBytes(stick.StorePath()) == before);
    }
};

QTEST_GUILESS_MAIN(CapacityTest)
#include "test_capacity.moc"
