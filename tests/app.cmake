# The whole application over a private D-Bus with the fake UDisks2 and a loop
# device as the stick (root), and the program as a process of its own.
imagewriter_add_test(test_app SOURCES test_app.cpp LABELS app RESOURCE_LOCK loop-devices
    TIMEOUT 600)
add_dependencies(test_app usb-image-writer)
target_compile_definitions(test_app PRIVATE APP_BINARY="$<TARGET_FILE:usb-image-writer>")
