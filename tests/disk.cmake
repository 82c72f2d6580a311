# Tests of the disk service, device registry and unmount, and of the rules on
# which disks may be touched.
imagewriter_add_test(test_registry SOURCES test_registry.cpp LABELS disk)
imagewriter_add_test(test_drive_safety SOURCES test_drive_safety.cpp LABELS disk)
# The UDisks2 backend against the dbusmock UDisks2, and against the system's
# udisksd (one source, two programs).
imagewriter_add_test(test_udisks SOURCES test_udisks.cpp LABELS disk)
imagewriter_add_test(test_udisks_real SOURCES test_udisks.cpp LABELS disk udisks
    RESOURCE_LOCK system-udisks loop-devices TIMEOUT 600)
target_compile_definitions(test_udisks_real PRIVATE REAL_UDISKS)
# The checks between a confirmation and the unmount.
imagewriter_add_test(test_preflight SOURCES test_preflight.cpp LABELS disk)
