// A sanitizer report ends the simulator with its own exit status (5), apart
// from a failed expectation (1), a usage error (2), a verifier stop (3) and
// the wall-clock limit (4). The runtimes read these before main; in a build
// without sanitizers nothing calls them.

extern "C" {
const char *__asan_default_options();
const char *__ubsan_default_options();
const char *__lsan_default_options();

__attribute__((used, visibility("default"))) const char *__asan_default_options() {
    return "exitcode=5";
}
__attribute__((used, visibility("default"))) const char *__ubsan_default_options() {
    return "exitcode=5:halt_on_error=1:print_stacktrace=1";
}
__attribute__((used, visibility("default"))) const char *__lsan_default_options() {
    return "exitcode=5";
}
}
