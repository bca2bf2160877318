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

/* ---- Record routines ------------------------------------------------------
 *
 * With these the host keeps rows as packed sort records and sorts them itself.
 * srtfva_ plans a record for a key array; srtfpk_ packs a row, srtfup_ and
 * SrtUnpack unpack it; srtkeyz_ and srtkeyunz_ trim and restore the string key
 * fields. They keep no state: calls on different buffers may run at the same
 * time. None checks its arguments.
 *
 * Packed record, in 8-byte units: unit 1 the record length in units (both
 * header units included, as a signed 64-bit integer); unit 2 the caller's
 * header value; from unit 3 the data area: the units of the map's plain pairs
 * copied as they are, then, in a compressed record, the remaining units coded
 * as groups of one control unit (eight one-byte codes, the first at the lowest
 * address) followed by a literal unit for each code 253. Codes: 1..251 the
 * integer code - 100, 253 a literal, 254 eight blanks, 255 the system-missing
 * value, 0 no unit (after the last one).
 *
 * Move map (MAP): NMAP pairs (row position from 1, unit count); the first NKMAP
 * are the key runs. The map's order is the order of the units in the data area.
 *
 * Key field list (KEYLST): one triple (position, width, direction) per key,
 * positions counted in units from the data area, width 0 for a numeric key;
 * the list ends at the first triple with a negative width. */

/* Trims each string key field of the record `rec` that ends in blanks: the
 * first trailing blank becomes a NUL byte. The header is not read. */
ISORT_EXPORT void srtkeyz_(OBS* rec, const INTEGER* keylst);

/* Restores each string key field of `rec`: from its first NUL byte, if any, to
 * its end the field becomes blanks. */
ISORT_EXPORT void srtkeyunz_(OBS* rec, const INTEGER* keylst);

/* Unpacks the record whose data area (unit 3) is `data` into `row`: restores
 * the record's string key fields in place, then puts every unit that the map
 * names back at its row position. Row units that no pair names are left as
 * they were. `compressed` non-zero: the pairs after the first `nkmap` are
 * coded. */
ISORT_EXPORT void SrtUnpack(OBS* data, OBS* row, const INTEGER* map,
                            const INTEGER* keylst, int nmap, int nkmap,
                            int compressed);

/* SrtUnpack for the host: `rec` is the record's first unit; the low 32 bits of
 * nmap and nkmap are used, and bit 0 of flags asks for a compressed record. */
ISORT_EXPORT void srtfup_(OBS* rec, OBS* row, const INTEGER* map,
                          const INTEGER* keylst, ISORT_REF(const INTEGER) nmap,
                          ISORT_REF(const INTEGER) nkmap,
                          ISORT_REF(const INTEGER) flags);

/* Packs `row` into the record `rec` through the map, stores `hdrval` as unit
 * 2, and trims the string key fields. Bit 0 of flags asks for a compressed
 * record: the pairs after the first `nkmap` are then coded. `rec` needs room
 * for 2 units, the plain units and, when compressed, one unit per coded unit
 * plus one control unit per eight of them (rounded up). */
ISORT_EXPORT void srtfpk_(const OBS* row, OBS* rec, ISORT_REF(const OBS) hdrval,
                          const INTEGER* map, const INTEGER* keylst,
                          ISORT_REF(const INTEGER) nmap,
                          ISORT_REF(const INTEGER) nkmap,
                          ISORT_REF(const INTEGER) flags);

/* Validates the host key array `keys` (nkeys rows, 3 columns as sortfile_
 * takes it; a negative nkeys counts as 0) against a row of `widraw` units and
 * plans the packed record. Returns 0, or 10 when a key is invalid (position
 * below 1 or its units past widraw, direction other than 1 and -1, negative
 * width); then nmap, nkmap and keywid are 0 and nothing else is written.
 *
 * With `rearr`, the key units are laid out in row order at the front of the
 * data area, keys that touch or overlap sharing one key run: `nkmap` key runs,
 * `keywid` units in all, and `nmap` pairs including the payload runs behind
 * them. With `fill`, `map` (nmap pairs) and `keylst` (nkeys + 1 triples) are
 * written too; without it only the three counts, so that a first call can size
 * `map`. Without `rearr` the counts stay 0 and, with `fill`, `keylst` names the
 * keys where they lie in the row. Any number of keys is accepted. */
ISORT_EXPORT INTEGER srtfva_(ISORT_REF(const INTEGER) nkeys, const SI* keys,
                             INTEGER* keylst, INTEGER* map,
                             ISORT_REF(INTEGER) nmap, ISORT_REF(INTEGER) nkmap,
                             ISORT_REF(INTEGER) keywid,
                             ISORT_REF(const INTEGER) widraw,
                             ISORT_REF(const LOGICAL) rearr,
                             ISORT_REF(const LOGICAL) fill);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ISORT_SORTFILE_H */
