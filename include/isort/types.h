/* The host's scalar types, shared by every isort header. Usable from C and C++.
 *
 * OBS      one 8-byte unit of a row: an IEEE double for a numeric value, or
 *          8 bytes of a string value (a longer string spans several units).
 * INTEGER  the host's signed 64-bit integer (counts, results, statuses).
 * LOGICAL  the host's 8-byte truth value; 0 is false.
 * SI       one element of the host's key array, signed 64-bit.
 */
#ifndef ISORT_TYPES_H
#define ISORT_TYPES_H

#include <stdint.h>

typedef double OBS;
typedef int64_t INTEGER;
typedef int64_t LOGICAL;
typedef int64_t SI;

#endif /* ISORT_TYPES_H */
