// The rules that decide which disks may be touched, one row per rule and per
// way to get it wrong.

#include <QtTest>

#include "platform/disks/DriveSafety.h"
#include "platform/disks/EverydayStick.h"

using namespace platform;

namespace {

// A kernel view in words: "sdb" a disk (numbered 8:N), "sdb1<sdb" a
// partition, "dm-0^sdb1" stacked on sdb1, "dm-3~sdb1" a holders link to no
// device, "loop0@/m/x" a loop device's backing file, "/boot=sdb1" a mount
// ("/m=%sdb2": btrfs, number 0:99, source sdb2; "/m=%": on no device),
// "swap=sdb2" ("swap=": unknown device), "swapfile=/m/f", "!" a table unread.
KernelView View(const QString& words) {
    KernelView view;
    const auto node = [&](const QString& name) -> BlockNode& {
        for (BlockNode& n : view.nodes)
            if (n.name == name.toStdString()) return n;
        const std::string number = "8:" + std::to_string(view.nodes.size());
        return view.nodes.emplace_back(BlockNode{name.toStdString(), number, {}, {}, {}});
    };
    for (const QString& w : words.split(' ', Qt::SkipEmptyParts)) {
        const QString l = w.section(QRegularExpression("[<^~@=]"), 0, 0), r = w.mid(l.size() + 1);
        const std::string left = l.toStdString(), right = r.toStdString();
        const char op = w.size() > l.size() ? w.at(l.size()).toLatin1() : ' ';
        // clang-format off
        if (w == "!") view.unreadable = "a table";
        else if (l == "swap") view.swaps.push_back({true, right, {}});
        else if (l == "swapfile") view.swaps.push_back({false, {}, right});
        else if (op == '=' && r.startsWith('%')) view.mounts.push_back({"0:99", left, right.substr(1)});
        else if (op == '=') view.mounts.push_back({node(r).devNumber, left, {}});
        else if (op == '<') node(r), node(l).parent = right;
        else if (op == '^') node(l), node(r).holders.push_back(left);
        else if (op == '~') node(r).holders.push_back(left);
        else if (op == '@') node(l).backingFile = right;
        else node(l);
        // clang-format on
    }
    return view;
}

// A machine: its own disk vda, with / and a swap area, and a stick sdb.
#define M "vda vda1<vda vda2<vda /=vda1 swap=vda2 sdb sdb1<sdb sdb2<sdb "

// file: null for the system's use of the disk (expect "" none, "?" undecided,
// else what), else a device or "0:N" whose file is or is not on the disk.
struct Row {
    const char *name, *view, *disk, *file, *expect;
};

// clang-format off
const Row kRows[] = {
    {"a stick mounted for the user", M "/media/u/S=sdb1", "sdb", nullptr, ""},
    {"the machine's own disk", M, "vda", nullptr, "/"},
    {"a partition at /boot", M "/boot=sdb1", "sdb", nullptr, "/boot"},
    {"the EFI partition", M "/boot/efi=sdb2", "sdb", nullptr, "/boot/efi"},
    {"mount points that only begin like those", M "/boot2=sdb1 /home/u/x=sdb2 /var/tmp/y=sdb2", "sdb", nullptr, ""},
    {"an escaped blank in a mount point", M "/home\\040old=sdb1", "sdb", nullptr, ""},
    {"a malformed escape", M "/boo\\t=sdb1", "sdb", nullptr, "?"},
    {"a swap partition", M "swap=sdb2", "sdb", nullptr, "swap"},
    {"a swap file on its file system", M "/media/u/S=sdb1 swapfile=/media/u/S/swap\\040file", "sdb", nullptr, "swap"},
    {"a swap file elsewhere", M "/media/u/S=sdb1 swapfile=/media/u/S2/swap", "sdb", nullptr, ""},
    {"the last of two mounts on one point", M "/m=vda1 /m=sdb1 swapfile=/m/swap", "sdb", nullptr, "swap"},
    {"a swap area on an unknown device", M "swap=", "sdb", nullptr, "?"},
    {"dm-crypt on a partition, at /", "sdb sdb1<sdb dm-0^sdb1 /=dm-0", "sdb", nullptr, "/"},
    {"LVM, /home on the second volume", "sdb sdb1<sdb dm-0^sdb1 dm-1^sdb1 /srv=dm-0 /home=dm-1", "sdb", nullptr, "/home"},
    {"md over two disks", "sdb sdb1<sdb sdc sdc1<sdc md0^sdb1 md0^sdc1 /var=md0", "sdc", nullptr, "/var"},
    {"md reached twice from one disk", "sdb sdb1<sdb sdb2<sdb sdb3<sdb md0^sdb1 md0^sdb2 /home=sdb3", "sdb", nullptr, "/home"},
    {"a loop device backed by a file on it", M "/media/u/S=sdb1 loop0@/media/u/S/root.img /usr=loop0", "sdb", nullptr, "/usr"},
    {"a loop device backed by a file elsewhere", M "/media/u/S=sdb1 loop0@/var/root.img /usr=loop0", "sdb", nullptr, ""},
    {"btrfs: a number of its own, the source on it", "sdb sdb1<sdb /=%sdb1", "sdb", nullptr, "/"},
    {"holders that lead back", "sdb sdb1<sdb dm-0^sdb1 sdb1^dm-0", "sdb", nullptr, "?"},
    {"a holder that vanished", "sdb sdb1<sdb dm-3~sdb1", "sdb", nullptr, "?"},
    {"a disk the kernel does not know", M, "sdz", nullptr, "?"},
    {"a table that could not be read", M "!", "sdb", nullptr, "?"},
    {"the system on a loop device of unknown backing", M "loop0@x.img /usr=loop0", "sdb", nullptr, "?"},
    {"image on the stick's partition", M "/media/u/S=sdb1", "sdb", "sdb1", "on"},
    {"image on another disk", M "/media/u/S=sdb1", "sdb", "vda1", "off"},
    {"image in an encrypted volume on it", "sdb sdb1<sdb dm-0^sdb1 /m=dm-0", "sdb", "dm-0", "on"},
    {"image on btrfs on it", "sdb sdb1<sdb /m=%sdb1", "sdb", "0:99", "on"},
    {"image on tmpfs", M "/tmp=%", "sdb", "0:99", "off"},
    {"image on a file system no mount shows", M, "sdb", "0:97", "on"},
    {"image in a loop-mounted file on it", M "/m/S=sdb1 loop0@/m/S/a.img /mnt=loop0", "sdb", "loop0", "on"},
    {"image on a stick the kernel cannot place", "sdb sdb1<sdb dm-3~sdb1 vda", "sdb", "vda", "on"},
};
// clang-format on

}  // namespace

class DriveSafetyTest : public QObject {
    Q_OBJECT

  private slots:
    void kernel_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kRows)); ++i) QTest::newRow(kRows[i].name) << i;
    }
    void kernel() {
        QFETCH(int, row);
        const Row& r = kRows[row];
        const KernelView view = View(r.view);
        if (r.file) {
            std::string device = r.file;
            for (const BlockNode& n : view.nodes)
                if (n.name == device) device = n.devNumber;
            QCOMPARE(FileOnDisk(device, r.disk, view) ? "on" : "off", r.expect);
            return;
        }
        const auto use = RunningSystemOn(r.disk, view);
        QCOMPARE(!use ? "" : !use->certain ? "?" : use->what.c_str(), r.expect);
    }

    // The drive's own rules: its identity, the same disk, a hard disk, a lock.
    void drives_data() {
        QTest::addColumn<bool>("holds");
        const auto row = [](const char* tag, bool holds) { QTest::newRow(tag) << holds; };
        row("identity: the serial", DriveIdentity("AA01", "0x5000", "/d") == "AA01");
        row("identity: no serial, the WWN", DriveIdentity("", "0x5000", "/d") == "0x5000");
        row("identity: a blank serial", DriveIdentity("  ", "0x5000", "/d") == "0x5000");
        row("identity: control characters, the path", DriveIdentity("A\nB", "\x1b", "/d") == "/d");
        row("identity: nothing", DriveIdentity("", "", "").empty());
        const DiskFacts stick{16000000000, "Acme Flash", "Flash\n", "AA01"};
        const auto changed = [&](auto DiskFacts::*field, auto value) {
            DiskFacts other = stick;
            other.*field = value;
            return SameDisk(stick, other);
        };
        row("same disk", SameDisk(stick, stick));
        row("same model and size, another serial", !changed(&DiskFacts::identity, "AA02"));
        row("another size", !changed(&DiskFacts::size, 32000000000));
        row("another name", !changed(&DiskFacts::name, "Acme Flash2"));
        row("another model", !changed(&DiskFacts::info, "Flash2\n"));
        row("no identity on either side", !SameDisk(DiskFacts{}, DiskFacts{}));
        row("a removable stick", !LooksLikeHardDisk(true, false, 16000000000));
        row("removable media only", !LooksLikeHardDisk(false, true, 16000000000));
        row("nothing removable", LooksLikeHardDisk(false, false, 16000000000));
        row("a 128 GB stick", !LooksLikeHardDisk(true, true, 128043712512));
        row("larger than 128 GiB", LooksLikeHardDisk(true, true, kLargeDiskBytes + 1));
        row("writable", !WriteProtected(false, false));
        row("read-only by the service", WriteProtected(true, false));
        row("read-only by the kernel", WriteProtected(false, true));
    }
    void drives() {
        QFETCH(bool, holds);
        QVERIFY(holds);
    }

    // An everyday stick's plan: the file system by size, the partition on a
    // fake stick, the label ("FS|SIZE|LABEL", or the problem).
    void everydayStick_data() {
        QTest::addColumn<QString>("plan");
        QTest::addColumn<QString>("expect");
        const auto row = [](const char* tag, std::uint64_t stick, std::uint64_t usable,
                            const char* label, const char* expect) {
            const EverydayStick p = PlanEverydayStick(stick, usable, label);
            const char* problems[] = {"", "too long", "unsupported", "too small"};
            const char* fs = p.fileSystem == StickFileSystem::Fat32 ? "FAT32" : "exFAT";
            QTest::newRow(tag) << (p.problem != PlanProblem::None
                                       ? QString(problems[int(p.problem)])
                                       : QString("%1|%2|%3")
                                             .arg(fs)
                                             .arg(p.size)
                                             .arg(QString::fromStdString(p.label)))
                               << QString(expect);
        };
        constexpr std::uint64_t GiB = 1 << 30, MiB = 1 << 20;
        row("a 32 GB stick: FAT32, the default label", 32000000000, 0, "", "FAT32|0|USB STICK");
        row("32 GiB: still FAT32, in capitals", 32 * GiB, 0, "Daten", "FAT32|0|DATEN");
        row("over 32 GiB: exFAT, as typed", 32 * GiB + 512, 0, "Données", "exFAT|0|Données");
        row("FAT: 11 bytes", 8 * GiB, 0, "ABCDEFGHIJK", "FAT32|0|ABCDEFGHIJK");
        row("FAT: 12 bytes", 8 * GiB, 0, "ABCDEFGHIJKL", "too long");
        row("FAT: not ASCII", 8 * GiB, 0, "Données", "unsupported");
        row("FAT: a dot", 8 * GiB, 0, "V1.0", "unsupported");
        row("FAT: a control character", 8 * GiB, 0, "A\tB", "unsupported");
        row("exFAT: 11 UTF-16 units", 64 * GiB, 0, "ÄÖÜäöüßÄÖÜä", "exFAT|0|ÄÖÜäöüßÄÖÜä");
        row("exFAT: 12 units, 2 of them one character", 64 * GiB, 0, "ABCDEFGHIJ😀", "too long");
        row("exFAT: not UTF-8", 64 * GiB, 0, "A\xff", "unsupported");
        row("a fake stick: its real part from 1 MiB, in whole MiB", 64 * GiB, 600 * MiB + 5, "",
            "FAT32|628097024|USB STICK");
        row("a fake stick's real 40 GiB: exFAT", 128 * GiB, 40 * GiB, "",
            "exFAT|42948624384|USB STICK");
        row("usable as large as the stick: all of it", 16 * GiB, 16 * GiB, "", "FAT32|0|USB STICK");
        row("a fake stick's real part under 2 MiB", 16 * GiB, 2 * MiB - 1, "", "too small");
    }
    void everydayStick() {
        QFETCH(QString, plan);
        QFETCH(QString, expect);
        QCOMPARE(plan, expect);
    }
};

QTEST_GUILESS_MAIN(DriveSafetyTest)
#include "test_drive_safety.moc"
