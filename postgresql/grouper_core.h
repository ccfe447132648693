/* The grouping side of the PostgreSQL extension, behind a plain C
 * interface.
 *
 * Everything here is C++ inside and never lets an exception out: each call
 * catches everything and returns a status, with a message kept until the
 * next call (eg_core_message).  It calls nothing of PostgreSQL, so no
 * error of the server can jump across its frames; the C side
 * (episode_grouper.c) raises the errors once these calls have returned.
 *
 * The server process is single-threaded: the state behind these calls (the
 * table sets and weight catalogues opened, one Grouper per set, the last
 * row) belongs to the process. */
#ifndef EPISODE_GROUPER_PG_GROUPER_CORE_H
#define EPISODE_GROUPER_PG_GROUPER_CORE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum EgCoreStatus {
  EG_CORE_OK = 0,
  EG_CORE_TABLES,           /* the table set cannot be opened */
  EG_CORE_WEIGHTS,          /* the weight catalogue cannot be read */
  EG_CORE_INVALID_EPISODE,  /* the episode's fields cannot be encoded */
  EG_CORE_NO_MEMORY,
  EG_CORE_INTERNAL          /* anything else that went wrong */
} EgCoreStatus;

/* Bytes and their length; data NULL means "not given" (SQL NULL). */
typedef struct EgText {
  const char *data;
  size_t len;
} EgText;

/* Entries of the findings array: the findings a result keeps, the weight's
 * finding and "more:N". */
#define EG_MAX_FINDINGS 26

/* One result, as the columns of eg_result take it.  Texts point into
 * `buffer` (or into the core's memory, valid until its next call); an
 * empty mdc, adrg or drg is NULL in SQL.  Code texts are bytes, which the C
 * side reads as Latin-1. */
typedef struct EgRow {
  EgText mdc, adrg, drg, supplementary;
  bool has_adrg;
  int32_t pccl;
  int32_t ccl[9]; /* positions 2..10 */
  bool ccl_null[9];
  int32_t age_years, age_days;
  int n_findings;
  EgText findings[EG_MAX_FINDINGS];
  bool with_weights; /* a weight catalogue is set */
  bool has_weight;
  EgText weight, effective_weight, los_class; /* los_class empty: NULL */
  char buffer[EG_MAX_FINDINGS * 64 + 128];
} EgRow;

typedef struct EgOptInt {
  bool given;
  int32_t value;
} EgOptInt;

typedef struct EgDate {
  bool given;
  bool finite; /* false: infinity or -infinity */
  int32_t year, month, day;
} EgDate;

/* Elements of a code array passed on; an array with more is reported by
 * its length alone. */
#define EG_MAX_LIST 64

typedef struct EgEpisode {
  EgDate birth_date, record_date;
  EgText sex;
  EgOptInt los, discharge, birth_weight, vent_hours, age_years, age_days;
  EgText principal, id;
  int n_secondary, n_procedures; /* elements in the arrays, all of them */
  EgText secondary[EG_MAX_LIST]; /* data NULL: a NULL element */
  EgText procedures[EG_MAX_LIST];
} EgEpisode;

/* Makes the table set in directory `tables` (and the weight catalogue at
 * `weights`, when its data is not NULL and not empty) the ones the calls
 * below use, opening them the first time.  The files of a set or catalogue
 * opened before are compared (size and time of change) with what was
 * opened when `check_key` differs from the key of their last comparison,
 * and opened again when they changed. */
EgCoreStatus eg_core_select(EgText tables, EgText weights, int64_t check_key);

/* Groups one record with the selected set: its bytes as they are, read as
 * a line of an episode file (up to a line feed inside it, at most 4095
 * bytes, with the line feed that ends a line of a file added), so that it
 * groups as the program groups that line. */
EgCoreStatus eg_core_group(EgText record, EgRow *row);

/* Builds the record of an episode and groups it; EG_CORE_INVALID_EPISODE
 * with every field error in the message when it cannot be built. */
EgCoreStatus eg_core_group_episode(const EgEpisode *episode, EgRow *row);

/* Checks an episode without grouping it: the number of field errors in
 * `count` and their texts ("field: message") in `texts`, each ended by a
 * NUL, valid until the next call.  Needs no table set. */
EgCoreStatus eg_core_validate_episode(const EgEpisode *episode, int *count, const char **texts);

/* The explanation of a record as JSON (UTF-8, NUL-terminated), valid until
 * the next call. */
EgCoreStatus eg_core_explain(EgText record, const char **json);

/* The message of the last call that failed (NUL-terminated). */
const char *eg_core_message(void);

/* The library's version, "MAJOR.MINOR.PATCH" (static text). */
const char *eg_core_version(void);

#ifdef __cplusplus
}
#endif

#endif
