# Tests of the image writer. test_writer_tsan.cpp carries the ThreadSanitizer
# suppression for Qt's own test watchdog, for both.
imagewriter_add_test(test_writer SOURCES test_writer.cpp test_writer_tsan.cpp
                     LABELS writer TIMEOUT 900)
imagewriter_add_test(test_capacity SOURCES test_capacity.cpp test_writer_tsan.cpp LABELS writer
                     RESOURCE_LOCK loop-devices)
