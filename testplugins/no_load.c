/* A library with plugin entries but without Load: the core must refuse it. */
#include <stdint.h>

int32_t Open(void *in, void *out) {
    (void)in;
    (void)out;
    return 0;
}
