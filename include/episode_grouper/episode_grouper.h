/* The grouper's C interface.
 *
 * Open a table set once, make one grouper per thread over it, and group
 * records one at a time:
 *
 *     eg_table_set* set;
 *     if (eg_table_set_open("tables", &set) != EG_OK) {
 *       fprintf(stderr, "%s\n", eg_last_error());
 *       return 1;
 *     }
 *     eg_grouper* g;
 *     eg_grouper_new(set, &g);
 *     eg_result r;
 *     r.size = sizeof r;
 *     eg_group(g, line, line_length, &r);
 *     ... r.adrg_code, r.res_pccl, r.result_line ...
 *     eg_grouper_free(g);
 *     eg_table_set_free(set);
 *
 * Threads: a table set is immutable and may be shared by any number of
 * threads and groupers.  A grouper is used by one thread at a time.  Every
 * function may be called from any thread; eg_last_error() tells about the
 * last failed call of the calling thread.
 *
 * Memory: the caller owns every buffer it passes; eg_result carries its own
 * size in its first field, so that a program built against an older, shorter
 * eg_result keeps working with a newer library.  Nothing is thrown across
 * this interface and nothing is printed.
 */
#ifndef EPISODE_GROUPER_EPISODE_GROUPER_H
#define EPISODE_GROUPER_EPISODE_GROUPER_H

#include <stddef.h>
#include <stdint.h>

#include "episode_grouper/export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum eg_status {
  EG_OK = 0,
  EG_ERROR_ARGUMENT = 1,       /* a null handle or pointer, or a result size too small */
  EG_ERROR_NO_DIRECTORY = 2,   /* the table directory does not exist */
  EG_ERROR_FILE = 3,           /* a table file is missing, not openable for reading, or short */
  EG_ERROR_COUNT_MISMATCH = 4, /* a table count disagrees with an earlier file's */
  EG_ERROR_LOGIC_SETTING = 5,  /* the condition catalogue disagrees with the built-in logic conditions */
  EG_ERROR_MEMORY = 6,
  EG_ERROR_INTERNAL = 7,
  EG_ERROR_WEIGHTS = 8,        /* a weight catalogue fails its checks; the last error says "FILE:LINE: what" */
  EG_ERROR_INVALID_EPISODE = 9, /* an episode's fields cannot be encoded; the last error names each field and why */
  EG_ERROR_REGISTRY = 10        /* a registry of table versions fails its checks; the last error says "FILE:LINE: what" */
} eg_status;

typedef struct eg_table_set eg_table_set;
typedef struct eg_grouper eg_grouper;

/* The full result of one record.  Code texts are NUL-terminated (a table
 * code ends at its first NUL byte); a group index of 0 means no group. */
typedef struct eg_result {
  size_t size; /* set by the caller to sizeof(eg_result) before each call */

  /* the record values; an unreadable digit field reads as -1 */
  int32_t rec_date;
  int16_t age_yy;
  int32_t age_dd;
  int16_t sex_cd;
  int16_t los_dd;
  int16_t dsch_cd;
  int16_t birth_wt;
  int16_t vent_hr;

  int16_t code_ids[47]; /* per code position 1..46; 0 = empty or not found */
  int16_t dx_swapped;   /* 1 when the dagger/asterisk exchange swapped positions 1 and 2 */

  int16_t res_mdc;
  int16_t res_adrg;
  int16_t res_drg;
  char res_split; /* age split character */
  char mdc_code[4];
  char adrg_code[5];
  char drg_list_code[6]; /* the DRG list's code of res_drg */

  int16_t pos_ccl[11]; /* CCL per diagnosis position 1..10 */
  int16_t res_pccl;
  char res_drg_code[7];  /* the DRG text: DRG code and complexity split */
  char res_ccl_raw[11];  /* CCL digits of positions 1..10 before the exclusions */
  char res_ccl_excl[11]; /* the same after the exclusions */

  int32_t res_ltcdrg;        /* 0 none, 1..19 a supplementary row, 9999 the fixed group */
  char res_ltcdrg_code[5];   /* as in the result line: "0000", "AW17" or the group code */

  /* the classic result line, its line feed included; it may hold NUL bytes
   * of the record, so its length is given */
  size_t result_line_length;
  char result_line[301];
} eg_result;

/* The text of the last failed call on this thread ("" when none failed);
 * valid until the thread's next call into this interface. */
EPISODE_GROUPER_API const char* eg_last_error(void);

/* The library's version, "MAJOR.MINOR.PATCH". */
EPISODE_GROUPER_API const char* eg_version(void);

/* Opens the sixteen table files of `directory`.  On success *set receives a
 * handle to free with eg_table_set_free; on failure it is set to NULL. */
EPISODE_GROUPER_API eg_status eg_table_set_open(const char* directory, eg_table_set** set);
EPISODE_GROUPER_API void eg_table_set_free(eg_table_set* set);

/* A grouper over `set`, which may be freed before the grouper: the grouper
 * keeps what it needs. */
EPISODE_GROUPER_API eg_status eg_grouper_new(const eg_table_set* set, eg_grouper** grouper);
EPISODE_GROUPER_API void eg_grouper_free(eg_grouper* grouper);

/* Groups one record: `length` bytes at `record` (at most 4095 are read; a
 * line feed at the end is part of the record, any byte is allowed).  Fills
 * the first result->size bytes of *result. */
EPISODE_GROUPER_API eg_status eg_group(eg_grouper* grouper, const char* record, size_t length, eg_result* result);

/* The tab-separated result row of the last record grouped, numbered
 * `record`, line feed included, into `out` of `capacity` bytes (2048 always
 * suffice); NUL-terminated when it fits.  Returns the row's length, or 0
 * with EG_ERROR_ARGUMENT as the last error when it does not fit. */
EPISODE_GROUPER_API size_t eg_result_row(const eg_grouper* grouper, int64_t record, char* out, size_t capacity);

/* The same as one JSON object and a line feed (4096 bytes always suffice). */
EPISODE_GROUPER_API size_t eg_json_row(const eg_grouper* grouper, int64_t record, char* out, size_t capacity);

/* A registry of table versions: several table sets, each valid over a
 * window of record dates (a tab-separated file: name, directory, valid_from,
 * valid_to; see table_registry.h).  Every version's set is opened and
 * checked here; on failure the status is EG_ERROR_REGISTRY and the last
 * error says "FILE:LINE: what".  A registry is immutable and shared like a
 * table set. */
typedef struct eg_registry eg_registry;
typedef struct eg_registry_grouper eg_registry_grouper;
EPISODE_GROUPER_API eg_status eg_registry_open(const char* file, eg_registry** registry);
EPISODE_GROUPER_API void eg_registry_free(eg_registry* registry);
/* Its versions, earliest window first: their number and names (NULL past
 * the end); the gaps between windows, one text each. */
EPISODE_GROUPER_API size_t eg_registry_version_count(const eg_registry* registry);
EPISODE_GROUPER_API const char* eg_registry_version_name(const eg_registry* registry, size_t index);
EPISODE_GROUPER_API size_t eg_registry_warning_count(const eg_registry* registry);
EPISODE_GROUPER_API const char* eg_registry_warning(const eg_registry* registry, size_t index);

/* A grouper over every version of `registry` (which may be freed before it),
 * used by one thread at a time. */
EPISODE_GROUPER_API eg_status eg_registry_grouper_new(const eg_registry* registry, eg_registry_grouper** grouper);
EPISODE_GROUPER_API void eg_registry_grouper_free(eg_registry_grouper* grouper);
/* Groups one record, as eg_group does, with the version whose window holds
 * its record date; *version (when not NULL) receives that version's index,
 * or -1 when none holds the date (blank and unreadable dates included): the
 * record then has no groups, "0000" in its result line, and the finding
 * no_table_version. */
EPISODE_GROUPER_API eg_status eg_registry_group(eg_registry_grouper* grouper, const char* record, size_t length,
                                                eg_result* result, int* version);
/* The rows of the last record, as eg_result_row and eg_json_row, with the
 * column (member) tables, the version's name, at their end (2113 and 4172
 * bytes always suffice). */
EPISODE_GROUPER_API size_t eg_registry_result_row(const eg_registry_grouper* grouper, int64_t record, char* out,
                                                  size_t capacity);
EPISODE_GROUPER_API size_t eg_registry_json_row(const eg_registry_grouper* grouper, int64_t record, char* out,
                                                size_t capacity);

/* Episodes as named fields.  eg_episode carries its own size in its first
 * field, as eg_result does; eg_episode_init sets it and makes every field
 * "not given", so that fields added later stay unset for an older caller.
 * The strings are the caller's, read during the call only.  The record is
 * built by the library's one builder: 300 characters, blank where no field
 * lies (see episode_grouper/episode.h for the layout and the rules). */
#define EG_EPISODE_RECORD_BYTES 300

typedef struct eg_episode {
  size_t size;               /* sizeof(eg_episode), set by eg_episode_init */
  const char* id;            /* at most 8 characters; NULL or "" = none */
  int32_t birth_date;        /* YYYYMMDD; 0 = none */
  int32_t age_years;         /* instead of birth_date; -1 = none */
  int32_t age_days;          /* instead of birth_date; -1 = none */
  char sex;                  /* 'M' or 'F', either case; 0 = none */
  int32_t record_date;       /* YYYYMMDD; 0 = none */
  int32_t los;               /* days, 0..999; -1 = none */
  int32_t discharge;         /* 0..9; -1 = none */
  const char* principal;     /* a code such as "K35.8"; NULL or "" = none */
  const char* const* secondary; /* secondary_count codes, in order (at most 9) */
  size_t secondary_count;
  const char* const* procedures; /* procedure_count codes, in order (at most 36) */
  size_t procedure_count;
  int32_t birth_weight;      /* grams, 0..99999; -1 = none */
  int32_t vent_hours;        /* 0..99999; -1 = none */
} eg_episode;

/* Sets episode->size to sizeof(eg_episode) and every field to "none". */
EPISODE_GROUPER_API void eg_episode_init(eg_episode* episode);

/* Builds the record of `episode` into `record` of `capacity` bytes (at
 * least EG_EPISODE_RECORD_BYTES; a NUL follows the record when there is
 * room for it).  EG_ERROR_INVALID_EPISODE when a field cannot be encoded:
 * the last error then names every such field and why, separated by "; "
 * ("los: 1200 is not from 0 to 999; principal: required"). */
EPISODE_GROUPER_API eg_status eg_episode_build(const eg_episode* episode, char* record, size_t capacity);

/* Builds the record of `episode` and groups it as eg_group does.  With
 * EG_ERROR_INVALID_EPISODE (the last error as for eg_episode_build) the
 * grouper and *result keep the record before. */
EPISODE_GROUPER_API eg_status eg_group_episode(eg_grouper* grouper, const eg_episode* episode, eg_result* result);

/* Reading a record back into fields.  The strings and code lists of the
 * episode read live in an eg_episode_buffer, which one thread uses at a
 * time; they stay valid until the buffer's next read or its free. */
typedef struct eg_episode_buffer eg_episode_buffer;
EPISODE_GROUPER_API eg_status eg_episode_buffer_new(eg_episode_buffer** buffer);
EPISODE_GROUPER_API void eg_episode_buffer_free(eg_episode_buffer* buffer);

/* Reads the fields of `length` bytes at `record` into *episode (whose
 * size the caller sets, as eg_episode_init does); bytes past the end, or
 * past a line feed, read as blanks.  EG_ERROR_INVALID_EPISODE when a field
 * cannot be told (a letter in a date, say): the last error names each, and
 * *episode holds the fields that could. */
EPISODE_GROUPER_API eg_status eg_episode_read(const char* record, size_t length, eg_episode_buffer* buffer,
                                              eg_episode* episode);

/* Cost weights.  A catalogue is immutable and may be shared by any number
 * of threads.  Weights are integers of 1/10,000 (12345 is 1.2345), so sums
 * stay exact; eg_format_weight writes one with 4 decimals. */
typedef struct eg_weights eg_weights;

/* Loads the tab-separated catalogue at `path`.  On failure *weights is NULL
 * and the last error names the file and line. */
EPISODE_GROUPER_API eg_status eg_weights_load(const char* path, eg_weights** weights);
EPISODE_GROUPER_API void eg_weights_free(eg_weights* weights);

/* The weight of one episode.  has_weight is 0 without a DRG or without a
 * row valid on the record date; `finding` then names why ("weight_no_drg",
 * "weight_no_row"), or "weight_los_unreadable" when the length of stay
 * could not be read (the weight is then untrimmed), else "". */
typedef struct eg_weight {
  size_t size; /* set by the caller to sizeof(eg_weight) before each call */
  int32_t has_weight;
  int64_t weight;     /* the row's weight, units of 1/10,000 */
  int64_t effective;  /* trimmed by the length of stay, never below 0 */
  char los_class[8];  /* "inlier", "low", "high" or "" */
  char finding[24];
} eg_weight;

/* The weight of the last record `grouper` grouped. */
EPISODE_GROUPER_API eg_status eg_weigh(const eg_grouper* grouper, const eg_weights* weights, eg_weight* weight);

/* eg_result_row and eg_json_row with the weight columns weight,
 * effective_weight and los_class after the others, and the weight's
 * finding after the record's findings. */
EPISODE_GROUPER_API size_t eg_weighted_result_row(const eg_grouper* grouper, const eg_weights* weights,
                                                  int64_t record, char* out, size_t capacity);
EPISODE_GROUPER_API size_t eg_weighted_json_row(const eg_grouper* grouper, const eg_weights* weights,
                                                int64_t record, char* out, size_t capacity);

/* What each code of a record is worth (see episode_grouper/impact.h): the
 * record grouped again without each of its codes in positions 2..46; the
 * codes whose removal changes the DRG text (or, with weights, the effective
 * weight) in position order. */
#define EG_MAX_IMPACT 45

typedef struct eg_code_impact {
  int32_t position;          /* 2..46: 2..10 a secondary diagnosis, 11..46 a procedure */
  char code[6];              /* the slot's text as grouped, without trailing blanks (it ends at a NUL byte) */
  char drg[7];               /* the DRG text without the code; "" without a DRG */
  int32_t has_weight;        /* with weights: the record without the code has a weight */
  int64_t effective;         /* its effective weight, units of 1/10,000 (0 without a weight) */
  int64_t weight_difference; /* that effective weight less the record's own; 0 without weights */
} eg_code_impact;

typedef struct eg_impact {
  size_t size;     /* set by the caller to sizeof(eg_impact) before each call */
  int32_t weighed; /* 1 when found with weights */
  int32_t count;   /* entries in items */
  eg_code_impact items[EG_MAX_IMPACT];
} eg_impact;

/* The impact of the last record `grouper` grouped, with `weights` (NULL for
 * none).  Costs one grouping per code; the grouper's result and rows stay
 * those of the record. */
EPISODE_GROUPER_API eg_status eg_find_impact(eg_grouper* grouper, const eg_weights* weights, eg_impact* impact);

/* `weight` with 4 decimals, NUL-terminated, into `out` (24 bytes always
 * suffice); returns its length, 0 when it does not fit. */
EPISODE_GROUPER_API size_t eg_format_weight(int64_t weight, char* out, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
