# Tests of the disk service, device registry and unmount.
imagewriter_add_test(test_registry SOURCES test_registry.cpp LABELS disk)
imagewriter_add_test(test_udisks_fake SOURCES test_udisks_fake.cpp LABELS disk)
imagewriter_add_test(test_udisks_real SOURCES test_udisks_real.cpp LABELS disk udisks
    RESOURCE_LOCK system-udisks TIMEOUT 600)
