# Tests of the disk service, device registry and unmount.
imagewriter_add_test(test_device_paths SOURCES test_device_paths.cpp LABELS disk)
