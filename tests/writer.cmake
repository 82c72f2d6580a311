# Tests of the image writer. test_writer_tsan.cpp carries the ThreadSanitizer
# suppression for Qt's own test watchdog, for both.
# Loop devices are taken one at a time: the system's udisksd, which another
# test asks, may still describe a number just detached and attached anew.
imagewriter_add_test(test_writer SOURCES test_writer.cpp test_writer_tsan.cpp
                     LABELS writer RESOURCE_LOCK loop-devices TIMEOUT 900)
imagewriter_add_test(test_capacity SOURCES test_capacity.cpp test_writer_tsan.cpp LABELS writer
                     RESOURCE_LOCK loop-devices)
