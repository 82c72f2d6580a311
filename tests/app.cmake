# Tests of the window and controller.
imagewriter_add_test(test_controller SOURCES test_controller.cpp test_controller_support.h
    LABELS app TIMEOUT 120)
