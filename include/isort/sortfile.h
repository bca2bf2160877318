/* isort's host entry points, callable from C, C++ and Fortran.
 *
 * They follow the host's Fortran conventions: lower-case names with a trailing
 * underscore, every argument by reference (a reference in C++, a pointer in
 * C), 8-byte integers. SrtUnpack takes its scalars by value.
 */
#ifndef ISORT_SORTFILE_H
#define ISORT_SORTFILE_H

#include "isort/export.h"
#include "isort/types.h"

#ifdef __cplusplus
#define ISORT_REF(T) T&
extern "C" {
#else
#define ISORT_REF(T) T*
#endif

/* Fills `row` with the next input row of `nvars` units and returns 0, or
 * returns non-zero (low 32 bits tested) when there are no more rows. */
typedef INTEGER (*isort_get_callback)(void* context, OBS* row,
                                      ISORT_REF(const INTEGER) nvars);
/* Takes the next sorted row; returns 0, or non-zero to stop the sort. */
typedef INTEGER (*isort_put_callback)(void* context, const OBS* row,
                                      ISORT_REF(const INTEGER) nvars);

/* Sorts every row that `get` yields and hands each to `put` in key order;
 * rows with equal keys keep their input order.
 *
 * ukeys is the host key array, column-major with `nukeys` rows and 3 columns:
 * position (from 1), direction (> 0 ascending, otherwise descending), width
 * (0 numeric, else string length in bytes). Arguments 7 to 9 are not read.
 * On every return with a status, argument 10 is set false and 11 to 0.
 *
 * Status: 0 sorted; 5 an error was reported to the user; 11 out of memory;
 * 14 the host asked to return to its caller. */
ISORT_EXPORT INTEGER sortfile_(void* context, isort_get_callback get,
                               isort_put_callback put,
                               ISORT_REF(const INTEGER) nvars, const SI* ukeys,
                               ISORT_REF(const INTEGER) nukeys,
                               ISORT_REF(const INTEGER) unused7,
                               ISORT_REF(const LOGICAL) unused8,
                               ISORT_REF(const LOGICAL) unused9,
                               ISORT_REF(LOGICAL) flag10,
                               ISORT_REF(INTEGER) count11);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ISORT_SORTFILE_H */
