# Tests of the window and controller.
imagewriter_add_test(test_controller SOURCES test_controller.cpp test_controller_support.h
    LABELS app TIMEOUT 120)

# `cmake --install` puts the program, its desktop entry and its icon where a
# desktop finds them, and the entry starts what was installed.
add_test(NAME app_install COMMAND sh -c [=[
set -eu
prefix="$1/install-test"
rm -rf "$prefix"
cmake --install "$1" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/usb-image-writer"
entry="$prefix/share/applications/usb-image-writer.desktop"
grep -qx 'Exec=usb-image-writer' "$entry"
grep -qx 'Icon=usb-image-writer' "$entry"
grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/usb-image-writer.svg"
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$entry"; fi
rm -rf "$prefix"
]=] install-test ${CMAKE_BINARY_DIR})
set_tests_properties(app_install PROPERTIES LABELS app)

# The program as a process of its own.
imagewriter_add_test(test_e2e_program SOURCES test_e2e_program.cpp LABELS app TIMEOUT 120)
add_dependencies(test_e2e_program usb-image-writer)
target_compile_definitions(test_e2e_program PRIVATE
    APP_BINARY="$<TARGET_FILE:usb-image-writer>")

# The whole application over a private D-Bus with the fake UDisks2 service and
# a real loop device (root).
imagewriter_add_test(test_e2e_write SOURCES test_e2e_write.cpp test_controller_support.h
    LABELS app RESOURCE_LOCK loop-devices TIMEOUT 600)
