// ThreadSanitizer suppressions: QtTest's watchdog thread synchronises inside
// uninstrumented Qt code (its wait condition, memory freed after it ends).
// The writer and its tests use neither QWaitCondition nor QtTest off the main
// thread, so nothing of theirs is hidden.
extern "C" const char* __tsan_default_suppressions() {
    return "race:QWaitCondition::~QWaitCondition\ncalled_from_lib:libQt6Test.so.6\n";
}
