/* A C host of isort: sorts 200,000 rows of three numeric variables by the
 * second variable descending, then the first ascending, and checks the
 * order that comes back.
 *
 *   cc sort_rows.c $(pkg-config --cflags --libs isort) -o sort_rows
 */
#include <stdio.h>
#include <stdlib.h>

#include <isort/sortfile.h>

enum { kRows = 200000, kUnits = 3 };

struct Host {
  long next;      /* rows handed to isort so far */
  long received;  /* rows received back */
  OBS previous[kUnits];
  int inOrder;
};

/* Fills `row` with row number host->next: (id, a small number, id). */
static INTEGER get_row(void* context, OBS* row, const INTEGER* nvars) {
  struct Host* host = context;
  (void)nvars;
  if (host->next == kRows) return 1; /* no more rows */
  row[0] = (OBS)host->next;
  row[1] = (OBS)((host->next * 7919) % 100);
  row[2] = (OBS)host->next;
  host->next++;
  return 0;
}

static INTEGER put_row(void* context, const OBS* row, const INTEGER* nvars) {
  struct Host* host = context;
  int i;
  if (host->received > 0) {
    const OBS* p = host->previous;
    /* Second variable descending; ties by the first ascending (stable). */
    if (p[1] < row[1] || (p[1] == row[1] && p[0] >= row[0])) host->inOrder = 0;
  }
  for (i = 0; i < *nvars; i++) host->previous[i] = row[i];
  host->received++;
  return 0;
}

int main(void) {
  /* Key array, column-major: positions (from 1), directions, widths. */
  const SI keys[] = {2, 1, /* */ -1, 1, /* */ 0, 0};
  const INTEGER nvars = kUnits, nkeys = 2, unused = 0;
  LOGICAL flag = 0;
  INTEGER count = 0;
  struct Host host = {0, 0, {0, 0, 0}, 1};

  INTEGER status = sortfile_(&host, get_row, put_row, &nvars, keys, &nkeys, &unused, &unused,
                             &unused, &flag, &count);
  printf("status %ld, %ld rows in, %ld rows out, %s\n", (long)status, host.next,
         host.received, host.inOrder ? "in order" : "OUT OF ORDER");
  return status == 0 && host.received == kRows && host.inOrder ? EXIT_SUCCESS : EXIT_FAILURE;
}
