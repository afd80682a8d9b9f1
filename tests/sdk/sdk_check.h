/* The checks of the SDK's C tests: each failed check is printed with its
 * place and counted in `failures`, which the test's main returns. */
#ifndef TESTS_SDK_SDK_CHECK_H
#define TESTS_SDK_SDK_CHECK_H

#include <stdio.h>

#include "tavrinoscope/tavrinoscope.h"

static int failures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

#define CHECK_STATUS(expr, expected)                                                       \
    do {                                                                                   \
        tvs_status got_ = (expr);                                                          \
        if (got_ != (expected)) {                                                          \
            fprintf(stderr, "%s:%d: %s gave %s, expected %s\n", __FILE__, __LINE__, #expr, \
                    tvs_status_name(got_), tvs_status_name(expected));                     \
            ++failures;                                                                    \
        }                                                                                  \
    } while (0)

#endif
