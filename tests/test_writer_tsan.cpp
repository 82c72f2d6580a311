// ThreadSanitizer suppressions for the writer's test programs.
//
// QtTest's watchdog thread is started, woken and ended through
// synchronisation inside Qt, which is not instrumented, so ThreadSanitizer
// reports races between it and the main thread at the end of every test
// function: on the watchdog's wait condition, and on memory QtTest frees
// after the watchdog has ended. Both are Qt's own code. The writer's code and
// these tests use neither QWaitCondition nor call into QtTest from their
// threads, so nothing of theirs is hidden.
extern "C" const char* __tsan_default_suppressions() {
    return "race:QWaitCondition::~QWaitCondition\n"
           "called_from_lib:libQt6Test.so.6\n";
}
