// A sanitizer report ends the simulator with its own exit status (5), apart
// from a failed expectation (1), a usage error (2), a verifier stop (3) and
// the wall-clock limit (4). The runtimes read these before main; in a build
// without sanitizers nothing calls them.

extern "C" {
const char *__asan_default_options();
const char *__ubsan_default_options();
const char *__lsan_default_options();
#ifdef TOLVANEX_RACES
const char *__tsan_default_options();
#endif

__attribute__((used, visibility("default"))) const char *__asan_default_options() {
    return "exitcode=5";
}
__attribute__((used, visibility("default"))) const char *__ubsan_default_options() {
    return "exitcode=5:halt_on_error=1:print_stacktrace=1";
}
__attribute__((used, visibility("default"))) const char *__lsan_default_options() {
    return "exitcode=5";
}
#ifdef TOLVANEX_RACES
// The race build: host code is not instrumented and shares its bookkeeping
// between fibers by design, and the copies it makes through libc are not
// watched either. Every report counts (a sweep runs many machines in one
// process), and one that the run did not already stop on ends it with the
// verifier's status.
__attribute__((used, visibility("default"))) const char *__tsan_default_options() {
    return "exitcode=3:ignore_interceptors_accesses=1:report_thread_leaks=0:report_signal_unsafe=0:"
           "suppress_equal_stacks=0:suppress_equal_addresses=0:history_size=4:"
           "suppressions=" TOLVANEX_SOURCE_DIR "/tools/races.supp";
}
#endif
}
