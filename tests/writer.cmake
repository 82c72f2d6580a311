# Tests of the image writer and device access. test_writer_tsan.cpp carries
# the ThreadSanitizer suppression for Qt's own test watchdog.
imagewriter_add_test(test_device_access SOURCES test_device_access.cpp test_writer_tsan.cpp
                     LABELS writer)
imagewriter_add_test(test_writer SOURCES test_writer.cpp test_writer_support.h test_writer_tsan.cpp
                     LABELS writer TIMEOUT 900)
imagewriter_add_test(test_writer_faults
                     SOURCES test_writer_faults.cpp test_writer_support.h test_writer_tsan.cpp
                     LABELS writer)
