# The whole application over a private D-Bus with the fake UDisks2 and a loop
# device as the stick (root), and the program as a process of its own.
imagewriter_add_test(test_app SOURCES test_app.cpp LABELS app RESOURCE_LOCK loop-devices
    TIMEOUT 600)
add_dependencies(test_app usb-image-writer)
target_compile_definitions(test_app PRIVATE APP_BINARY="$<TARGET_FILE:usb-image-writer>")

# `cmake --install` puts the program, its desktop entry and its icon where a
# desktop finds them.
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
rm -rf "$prefix"
]=] install-test ${CMAKE_BINARY_DIR})
set_tests_properties(app_install PROPERTIES LABELS app)
