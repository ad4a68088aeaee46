// Built only with the sanitizers: makes the error named by its argument,
// so that a test can see the simulator's exit status for a sanitizer report.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    if (argc != 2)
        return 2;
    volatile int index = 16;
    if (std::strcmp(argv[1], "heap") == 0) {
        char *p = static_cast<char *>(std::malloc(16));
        std::memset(p, 0, 16);
        int v = p[index]; // one past the end
        std::free(p);
        return v;
    }
    if (std::strcmp(argv[1], "overflow") == 0) {
        volatile int big = 0x7FFFFFFF;
        int v = big + index; // signed overflow
        return v == 0;
    }
    return 2;
}
