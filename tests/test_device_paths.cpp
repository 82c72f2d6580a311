#include <QtTest>

#include "platform/DevicePaths.h"

using namespace platform;

class DevicePathsTest : public QObject {
    Q_OBJECT
  private slots:
    void nodesOfADisk() {
        QCOMPARE(BlockNodePath("sdb"), std::string("/dev/sdb"));
        QCOMPARE(RawNodePath("sdb"), std::string("/dev/sdb"));
        QCOMPARE(PartitionNodePath("sdb", 1), std::string("/dev/sdb1"));
        QCOMPARE(PartitionNodePath("sdb", 15), std::string("/dev/sdb15"));
        // A name ending in a digit takes "p" before the partition number.
        QCOMPARE(PartitionNodePath("mmcblk0", 1), std::string("/dev/mmcblk0p1"));
        QCOMPARE(PartitionNodePath("loop3", 2), std::string("/dev/loop3p2"));
        QCOMPARE(PartitionNodePath("nvme0n1", 3), std::string("/dev/nvme0n1p3"));
    }
    void bsdNameFromPath() {
        QCOMPARE(BsdNameFromPath("/dev/sdb"), std::string("sdb"));
        QCOMPARE(BsdNameFromPath("/dev/mmcblk0p1"), std::string("mmcblk0p1"));
        QCOMPARE(BsdNameFromPath("/dev/"), std::string());
        QCOMPARE(BsdNameFromPath("/dev/disk/by-id/usb-x"), std::string());
        QCOMPARE(BsdNameFromPath("sdb"), std::string());
        QCOMPARE(BsdNameFromPath("/devsdb"), std::string());
    }
};

QTEST_GUILESS_MAIN(DevicePathsTest)
#include "test_device_paths.moc"
