/* The C interface from a C program.
 *
 * Usage: c_api_test GROUPER_TABLES GROUPER WORK_PARENT
 *
 * Generates a small table set and its episodes in a fresh directory under
 * WORK_PARENT, groups them with the program GROUPER (result lines, TSV rows
 * and JSON rows), then groups the same records through the C interface and
 * compares every result line, row and result field.  Then it opens broken
 * copies of the set and checks the status and message of every error a C
 * caller can meet, and that eg_group writes no byte past the size a caller
 * gives.  Episodes given as fields are built, grouped and read back, and an
 * invalid one is refused with every field error.  The directory is removed at the end, however the checks end;
 * exit status 0 when every check held. */
#define _POSIX_C_SOURCE 200809L

#include <episode_grouper/episode_grouper.h>

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static int failures;

static void check(int ok, const char* what, int line) {
  if (!ok) {
    ++failures;
    fprintf(stderr, "c_api_test.c:%d: check failed: %s\n", line, what);
  }
}
#define CHECK(cond) check((cond) != 0, #cond, __LINE__)

/* A status check that also shows what the library said. */
static void check_status(eg_status got, eg_status want, const char* what, int line) {
  if (got != want) {
    ++failures;
    fprintf(stderr, "c_api_test.c:%d: %s: status %d, expected %d (last error: %s)\n", line, what, (int)got,
            (int)want, eg_last_error());
  }
}
#define CHECK_STATUS(call, want) check_status((call), (want), #call, __LINE__)

static char work[1024];
static char first_record[4096]; /* the first record of the input */
static size_t first_length;
static char first_line[301]; /* its result line from the program */
static size_t first_line_length;

static const char* path_in(const char* dir, const char* file) {
  static char paths[4][2048];
  static int next;
  char* p = paths[next++ % 4];
  snprintf(p, sizeof paths[0], "%s/%s%s%s", work, dir, *file ? "/" : "", file);
  return p;
}

static int run(const char* command) {
  const int rc = system(command);
  if (rc != 0) fprintf(stderr, "command failed (%d): %s\n", rc, command);
  return rc;
}

static char* read_all(const char* path, size_t* size) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  size_t cap = 1 << 16, n = 0;
  char* data = malloc(cap);
  size_t got;
  while (data && (got = fread(data + n, 1, cap - n, f)) > 0) {
    n += got;
    if (n == cap) {
      char* bigger = realloc(data, cap *= 2);
      if (!bigger) free(data);
      data = bigger;
    }
  }
  fclose(f);
  *size = n;
  return data;
}

static int patch(const char* path, long offset, const char* bytes, size_t n) {
  FILE* f = fopen(path, "r+b");
  if (!f) return -1;
  const int ok = fseek(f, offset, SEEK_SET) == 0 && fwrite(bytes, 1, n, f) == n;
  return fclose(f) == 0 && ok ? 0 : -1;
}

/* A copy of the good set named `name`. */
static void copy_set(const char* name) {
  char command[9000];
  snprintf(command, sizeof command, "cp -R '%s' '%s'", path_in("set", ""), path_in(name, ""));
  if (run(command) != 0) ++failures;
}

/* The line at *pos of a text (through its line feed), advancing *pos. */
static size_t next_line(const char* text, size_t size, size_t* pos, const char** line) {
  const char* start = text + *pos;
  const char* lf = memchr(start, '\n', size - *pos);
  const size_t n = lf ? (size_t)(lf - start) + 1 : size - *pos;
  *line = start;
  *pos += n;
  return n;
}

/* Field `index` (from 0) of a tab-separated row, into `out`. */
static void tsv_field(const char* row, size_t length, int index, char* out, size_t capacity) {
  size_t i = 0;
  for (int field = 0; field < index && i < length; ++i) {
    if (row[i] == '\t') ++field;
  }
  size_t n = 0;
  while (i < length && row[i] != '\t' && row[i] != '\n' && n + 1 < capacity) out[n++] = row[i++];
  out[n] = '\0';
}

/* The result fields against the program's TSV row. */
static void check_fields(const eg_result* r, const char* row, size_t length) {
  char field[64], number[32];
  tsv_field(row, length, 1, field, sizeof field);
  CHECK(strcmp(field, r->mdc_code) == 0);
  tsv_field(row, length, 2, field, sizeof field);
  CHECK(strcmp(field, r->adrg_code) == 0);
  CHECK((field[0] != '\0') == (r->res_adrg != 0));
  tsv_field(row, length, 3, field, sizeof field);
  CHECK(strcmp(field, r->res_drg_code) == 0);
  tsv_field(row, length, 4, field, sizeof field);
  snprintf(number, sizeof number, "%d", r->res_pccl);
  CHECK(strcmp(field, r->res_adrg ? number : "") == 0);
  tsv_field(row, length, 5, field, sizeof field);
  CHECK(strcmp(field, r->res_adrg ? r->res_ccl_raw : "") == 0);
  tsv_field(row, length, 6, field, sizeof field);
  CHECK(strcmp(field, r->res_adrg ? r->res_ccl_excl : "") == 0);
  tsv_field(row, length, 7, field, sizeof field);
  CHECK(strcmp(field, r->res_ltcdrg_code) == 0);
  tsv_field(row, length, 8, field, sizeof field);
  snprintf(number, sizeof number, "%d", r->age_yy);
  CHECK(strcmp(field, number) == 0);
  tsv_field(row, length, 9, field, sizeof field);
  snprintf(number, sizeof number, "%ld", (long)r->age_dd);
  CHECK(strcmp(field, number) == 0);
}

/* Groups every record of the input through the interface and compares with
 * the program's outputs.  Leaves the grouper on the last record. */
static void check_against_program(eg_grouper* g) {
  size_t in_size = 0, out_size = 0, tsv_size = 0, json_size = 0;
  char* in = read_all(path_in("set", "tamv30.in"), &in_size);
  char* out = read_all(path_in("set", "tamv30.out"), &out_size);
  char* tsv = read_all(path_in("set", "results.tsv"), &tsv_size);
  char* json = read_all(path_in("set", "results.jsonl"), &json_size);
  CHECK(in && out && tsv && json);
  if (!in || !out || !tsv || !json) goto done;

  size_t out_pos = 0, tsv_pos = 0, json_pos = 0;
  const char* line;
  next_line(tsv, tsv_size, &tsv_pos, &line); /* the header */
  int64_t records = 0, with_adrg = 0, without_adrg = 0;
  int mismatches = 0;
  for (size_t pos = 0; pos < in_size && mismatches < 5;) {
    /* Split as the program does: through a line feed, at most 4095 bytes. */
    const size_t window = in_size - pos < 4095 ? in_size - pos : 4095;
    const char* lf = memchr(in + pos, '\n', window);
    const size_t length = lf ? (size_t)(lf - (in + pos)) + 1 : window;
    ++records;
    if (records == 1) memcpy(first_record, in + pos, first_length = length);

    eg_result r;
    memset(&r, 0, sizeof r);
    r.size = sizeof r;
    CHECK_STATUS(eg_group(g, in + pos, length, &r), EG_OK);
    pos += length;
    if (r.res_adrg) ++with_adrg; else ++without_adrg;

    const int line_ok = r.result_line_length <= out_size - out_pos &&
                        memcmp(r.result_line, out + out_pos, r.result_line_length) == 0;
    if (records == 1 && line_ok) memcpy(first_line, r.result_line, first_line_length = r.result_line_length);
    out_pos += r.result_line_length;

    char row[4096];
    const size_t tsv_length = next_line(tsv, tsv_size, &tsv_pos, &line);
    const size_t row_length = eg_result_row(g, records, row, sizeof row);
    const int row_ok = row_length == tsv_length && memcmp(row, line, row_length) == 0;
    const int failures_before = failures;
    check_fields(&r, line, tsv_length);
    if (failures != failures_before) ++mismatches;

    const size_t json_length = next_line(json, json_size, &json_pos, &line);
    const size_t json_row_length = eg_json_row(g, records, row, sizeof row);
    const int json_ok = json_row_length == json_length && memcmp(row, line, json_length) == 0;

    if (!line_ok || !row_ok || !json_ok) {
      ++mismatches;
      ++failures;
      fprintf(stderr, "record %lld: differs from the program's %s\n", (long long)records,
              !line_ok ? "result line" : !row_ok ? "TSV row" : "JSON row");
    }
  }
  CHECK(mismatches || (out_pos == out_size && tsv_pos == tsv_size && json_pos == json_size));
  /* The input holds a long last line without a line feed: 4095 bytes and the rest. */
  CHECK(records > 100 && in[in_size - 1] != '\n');
  CHECK(with_adrg > 0 && without_adrg > 0);
done:
  free(in);
  free(out);
  free(tsv);
  free(json);
}

/* The weighted rows of every record against the program's run with
 * --weights, the weight of each against its columns, its impact against the
 * impact column of the run with --impact, and a catalogue that fails its
 * checks. */
static void check_weights(eg_grouper* g) {
  eg_weights* weights = NULL;
  CHECK_STATUS(eg_weights_load(path_in("set", "weights.tsv"), &weights), EG_OK);
  size_t in_size = 0, tsv_size = 0, json_size = 0;
  char* in = read_all(path_in("set", "tamv30.in"), &in_size);
  char* tsv = read_all(path_in("set", "weighted.tsv"), &tsv_size);
  char* json = read_all(path_in("set", "weighted.jsonl"), &json_size);
  size_t impact_size = 0;
  char* impact_rows = read_all(path_in("set", "impact.tsv"), &impact_size);
  CHECK(weights && in && tsv && json && impact_rows);
  if (weights && in && tsv && json && impact_rows) {
    size_t tsv_pos = 0, json_pos = 0, impact_pos = 0;
    const char* line;
    next_line(tsv, tsv_size, &tsv_pos, &line); /* the header */
    next_line(impact_rows, impact_size, &impact_pos, &line);
    int64_t records = 0, weighed = 0, with_impact = 0;
    int mismatches = 0;
    for (size_t pos = 0; pos < in_size && mismatches < 5;) {
      const size_t window = in_size - pos < 4095 ? in_size - pos : 4095;
      const char* lf = memchr(in + pos, '\n', window);
      const size_t length = lf ? (size_t)(lf - (in + pos)) + 1 : window;
      ++records;
      eg_result r;
      memset(&r, 0, sizeof r);
      r.size = sizeof r;
      CHECK_STATUS(eg_group(g, in + pos, length, &r), EG_OK);
      pos += length;
      char row[4096], field[64], text[24];
      const size_t tsv_length = next_line(tsv, tsv_size, &tsv_pos, &line);
      const size_t n = eg_weighted_result_row(g, weights, records, row, sizeof row);
      if (n != tsv_length || memcmp(row, line, n) != 0) ++mismatches;
      eg_weight w;
      memset(&w, 0, sizeof w);
      w.size = sizeof w;
      CHECK_STATUS(eg_weigh(g, weights, &w), EG_OK);
      weighed += w.has_weight;
      tsv_field(line, tsv_length, 12, field, sizeof field);
      if (w.has_weight) CHECK(eg_format_weight(w.effective, text, sizeof text) > 0 && strcmp(field, text) == 0);
      else CHECK(field[0] == '\0' && w.finding[0] != '\0');
      tsv_field(line, tsv_length, 13, field, sizeof field);
      CHECK(strcmp(field, w.los_class) == 0);
      const size_t json_length = next_line(json, json_size, &json_pos, &line);
      const size_t m = eg_weighted_json_row(g, weights, records, row, sizeof row);
      if (m != json_length || memcmp(row, line, m) != 0) ++mismatches;
      /* The impact as the program's impact column writes it (the generated
       * codes need no escapes). */
      eg_impact impact;
      memset(&impact, 0, sizeof impact);
      impact.size = sizeof impact;
      CHECK_STATUS(eg_find_impact(g, weights, &impact), EG_OK);
      char column[4096] = "", entry[64];
      for (int i = 0; i < impact.count; ++i) {
        CHECK(eg_format_weight(impact.items[i].weight_difference, text, sizeof text) > 0);
        snprintf(entry, sizeof entry, "%s%d:%s>%s:%s%s", i > 0 ? ";" : "", (int)impact.items[i].position,
                 impact.items[i].code, impact.items[i].drg, impact.items[i].weight_difference > 0 ? "+" : "", text);
        strcat(column, entry);
      }
      with_impact += impact.count > 0;
      const size_t impact_length = next_line(impact_rows, impact_size, &impact_pos, &line);
      char program_column[4096];
      tsv_field(line, impact_length, 14, program_column, sizeof program_column);
      if (strcmp(column, program_column) != 0) ++mismatches;
    }
    CHECK(mismatches == 0 && tsv_pos == tsv_size && json_pos == json_size);
    CHECK(weighed > records / 2 && with_impact > 0);
  }
  free(impact_rows);
  free(in);
  free(tsv);
  free(json);
  eg_weights_free(weights);

  FILE* bad = fopen(path_in("set", "bad_weights.tsv"), "wb");
  CHECK(bad != NULL);
  if (bad) {
    fputs("drg\tvalid_from\tvalid_to\tweight\tlow_trim\tdeduction\thigh_trim\tsurcharge\nA\t\t\t-1\t\t\t\t\n", bad);
    fclose(bad);
  }
  eg_weights* none = (eg_weights*)&failures;
  CHECK_STATUS(eg_weights_load(path_in("set", "bad_weights.tsv"), &none), EG_ERROR_WEIGHTS);
  CHECK(none == NULL && strstr(eg_last_error(), "bad_weights.tsv:2: weight '-1' is negative") != NULL);
  char small[4];
  CHECK(eg_format_weight(12345, small, sizeof small) == 0);
}

/* A caller's eg_result shorter or longer than the library's. */
static void check_result_sizes(eg_grouper* g, const char* record, size_t length) {
  eg_result full;
  memset(&full, 0, sizeof full);
  full.size = sizeof full;
  CHECK_STATUS(eg_group(g, record, length, &full), EG_OK);
  CHECK(full.res_adrg != 0 && full.result_line_length == first_line_length &&
        memcmp(full.result_line, first_line, first_line_length) == 0);

  /* An older caller knows the fields before pos_ccl only. */
  const size_t known = offsetof(eg_result, pos_ccl);
  eg_result shorter;
  memset(&shorter, 0xA5, sizeof shorter);
  shorter.size = known;
  CHECK_STATUS(eg_group(g, record, length, &shorter), EG_OK);
  CHECK(shorter.size == known);
  CHECK(shorter.rec_date == full.rec_date && shorter.age_yy == full.age_yy && shorter.age_dd == full.age_dd);
  CHECK(shorter.sex_cd == full.sex_cd && shorter.los_dd == full.los_dd && shorter.vent_hr == full.vent_hr);
  CHECK(memcmp(shorter.code_ids, full.code_ids, sizeof full.code_ids) == 0);
  CHECK(shorter.res_adrg == full.res_adrg && shorter.res_drg == full.res_drg);
  CHECK(strcmp(shorter.adrg_code, full.adrg_code) == 0 && strcmp(shorter.drg_list_code, full.drg_list_code) == 0);
  size_t touched = 0;
  for (size_t i = known; i < sizeof shorter; ++i) touched += ((const unsigned char*)&shorter)[i] != 0xA5;
  CHECK(touched == 0);

  /* A newer caller's larger eg_result: the library fills what it knows. */
  struct {
    eg_result r;
    unsigned char guard[64];
  } longer;
  memset(&longer, 0x5A, sizeof longer);
  longer.r.size = sizeof longer;
  CHECK_STATUS(eg_group(g, record, length, &longer.r), EG_OK);
  CHECK(longer.r.result_line_length == full.result_line_length &&
        memcmp(longer.r.result_line, full.result_line, full.result_line_length) == 0);
  touched = 0;
  for (size_t i = 0; i < sizeof longer.guard; ++i) touched += longer.guard[i] != 0x5A;
  CHECK(touched == 0);

  /* Too small to hold even the size field. */
  eg_result tiny;
  memset(&tiny, 0, sizeof tiny);
  tiny.size = sizeof tiny.size - 1;
  CHECK_STATUS(eg_group(g, record, length, &tiny), EG_ERROR_ARGUMENT);
  CHECK(tiny.result_line_length == 0);
}

static void check_row_capacity(const eg_grouper* g) {
  char row[2048], small[2048];
  const size_t n = eg_result_row(g, 7, row, sizeof row);
  CHECK(n > 0 && row[n - 1] == '\n' && row[n] == '\0');
  memset(small, '#', sizeof small);
  CHECK(eg_result_row(g, 7, small, n) == 0);
  CHECK(eg_last_error()[0] != '\0');
  size_t touched = 0;
  for (size_t i = 0; i < sizeof small; ++i) touched += small[i] != '#';
  CHECK(touched == 0);
  CHECK(eg_result_row(g, 7, small, n + 1) == n && memcmp(small, row, n + 1) == 0);
  CHECK(eg_last_error()[0] == '\0');
  CHECK(eg_result_row(NULL, 7, row, sizeof row) == 0 && eg_last_error()[0] != '\0');
  CHECK(eg_result_row(g, 7, NULL, sizeof row) == 0);
  CHECK(eg_json_row(g, 7, small, 10) == 0);
}

static void check_null_arguments(const eg_table_set* set, eg_grouper* g) {
  eg_table_set* no_set = (eg_table_set*)&failures; /* must be reset to NULL */
  CHECK_STATUS(eg_table_set_open(NULL, &no_set), EG_ERROR_ARGUMENT);
  CHECK(no_set == NULL);
  CHECK_STATUS(eg_table_set_open(path_in("set", ""), NULL), EG_ERROR_ARGUMENT);
  eg_grouper* no_grouper = (eg_grouper*)&failures;
  CHECK_STATUS(eg_grouper_new(NULL, &no_grouper), EG_ERROR_ARGUMENT);
  CHECK(no_grouper == NULL);
  CHECK_STATUS(eg_grouper_new(set, NULL), EG_ERROR_ARGUMENT);

  eg_result r;
  memset(&r, 0, sizeof r);
  r.size = sizeof r;
  CHECK_STATUS(eg_group(NULL, "X\n", 2, &r), EG_ERROR_ARGUMENT);
  CHECK_STATUS(eg_group(g, NULL, 2, &r), EG_ERROR_ARGUMENT);
  CHECK_STATUS(eg_group(g, "X\n", 2, NULL), EG_ERROR_ARGUMENT);
  CHECK(eg_last_error()[0] != '\0');
  /* An empty record needs no bytes; a success clears the last error. */
  CHECK_STATUS(eg_group(g, NULL, 0, &r), EG_OK);
  CHECK(eg_last_error()[0] == '\0');
  CHECK(r.res_adrg == 0 && strcmp(r.res_ltcdrg_code, "0000") == 0);
  eg_grouper_free(NULL);
  eg_table_set_free(NULL);
}

/* Opens `dir`, expecting `want` and, when given, `named` in the message. */
static void check_open_fails(const char* dir, eg_status want, const char* named, const char* also, int line) {
  eg_table_set* set = (eg_table_set*)&failures;
  check_status(eg_table_set_open(dir, &set), want, dir, line);
  check(set == NULL, "the handle is NULL after a failure", line);
  if (named && !strstr(eg_last_error(), named)) {
    ++failures;
    fprintf(stderr, "c_api_test.c:%d: the message does not name %s: %s\n", line, named, eg_last_error());
  }
  if (also && !strstr(eg_last_error(), also)) {
    ++failures;
    fprintf(stderr, "c_api_test.c:%d: the message lacks '%s': %s\n", line, also, eg_last_error());
  }
  if (set != (eg_table_set*)&failures) eg_table_set_free(set);
}

static void check_broken_sets(void) {
  check_open_fails(path_in("none", ""), EG_ERROR_NO_DIRECTORY, NULL, NULL, __LINE__);

  copy_set("missing");
  CHECK(remove(path_in("missing", "Tccl")) == 0);
  check_open_fails(path_in("missing", ""), EG_ERROR_FILE, "Tccl", NULL, __LINE__);

  /* The last file one byte short: its last array, with the loader's message. */
  copy_set("short");
  size_t size = 0;
  free(read_all(path_in("short", "adrg_ltcdrg"), &size));
  CHECK(size > 100 && truncate(path_in("short", "adrg_ltcdrg"), (off_t)size - 1) == 0);
  check_open_fails(path_in("short", ""), EG_ERROR_FILE, "adrg_ltcdrg", "ltcdrg_ast read error", __LINE__);

  /* Tdag_ast's first count must equal Tdx.idx's diagnosis count. */
  copy_set("count");
  size_t dx_size = 0;
  char* dx = read_all(path_in("count", "Tdx.idx"), &dx_size);
  CHECK(dx && dx_size >= 10);
  if (dx && dx_size >= 10) {
    char count[16];
    snprintf(count, sizeof count, "%010u", (unsigned)(strtoul(dx, NULL, 10) + 1) % 100000u);
    CHECK(patch(path_in("count", "Tdag_ast"), 0, count, 10) == 0);
  }
  free(dx);
  check_open_fails(path_in("count", ""), EG_ERROR_COUNT_MISMATCH, "Tdag_ast", NULL, __LINE__);

  /* Condition 790 is a built-in logic condition: typed 'l', never 't'. */
  copy_set("logic");
  size_t cond_size = 0;
  char* cond = read_all(path_in("logic", "Tcond.idx"), &cond_size);
  CHECK(cond && cond_size > 100 + 790 && cond[100 + 790] == 'l');
  free(cond);
  CHECK(patch(path_in("logic", "Tcond.idx"), 100 + 790, "t", 1) == 0);
  check_open_fails(path_in("logic", ""), EG_ERROR_LOGIC_SETTING, "Tcond.idx", NULL, __LINE__);
}

/* An episode as fields: built into a record, grouped as that record is,
 * read back to the same fields; the first input record read into fields
 * and grouped from them as it is itself; an invalid episode refused with
 * every field and why; a record with a letter in its date told. */
static void check_episodes(eg_grouper* g) {
  const char* secondary[] = {"e11.9", "I10"};
  const char* procedures[] = {"5470"};
  eg_episode e;
  eg_episode_init(&e);
  e.id = "A1";
  e.birth_date = 19500615;
  e.sex = 'F';
  e.record_date = 20050301;
  e.los = 5;
  e.discharge = 1;
  e.principal = "k35.8";
  e.secondary = secondary;
  e.secondary_count = 2;
  e.procedures = procedures;
  e.procedure_count = 1;
  e.vent_hours = 12;
  char record[EG_EPISODE_RECORD_BYTES + 1];
  CHECK_STATUS(eg_episode_build(&e, record, sizeof record), EG_OK);
  CHECK(record[EG_EPISODE_RECORD_BYTES] == '\0' && memcmp(record, "A1      ", 8) == 0);
  CHECK_STATUS(eg_episode_build(&e, record, EG_EPISODE_RECORD_BYTES - 1), EG_ERROR_ARGUMENT);

  eg_result by_fields, by_record;
  memset(&by_fields, 0, sizeof by_fields);
  memset(&by_record, 0, sizeof by_record);
  by_fields.size = by_record.size = sizeof by_fields;
  CHECK_STATUS(eg_group_episode(g, &e, &by_fields), EG_OK);
  CHECK_STATUS(eg_group(g, record, EG_EPISODE_RECORD_BYTES, &by_record), EG_OK);
  CHECK(memcmp(&by_fields, &by_record, sizeof by_fields) == 0);

  eg_episode_buffer* buffer = NULL;
  CHECK_STATUS(eg_episode_buffer_new(&buffer), EG_OK);
  if (!buffer) return;
  eg_episode back;
  eg_episode_init(&back);
  CHECK_STATUS(eg_episode_read(record, EG_EPISODE_RECORD_BYTES, buffer, &back), EG_OK);
  CHECK(strcmp(back.id, "A1") == 0 && back.birth_date == 19500615 && back.sex == 'F');
  CHECK(back.record_date == 20050301 && back.los == 5 && back.discharge == 1 && back.age_years == -1);
  CHECK(strcmp(back.principal, "K358") == 0 && back.secondary_count == 2 && back.procedure_count == 1);
  CHECK(back.secondary_count == 2 && strcmp(back.secondary[0], "E119") == 0 && strcmp(back.secondary[1], "I10") == 0);
  CHECK(back.procedure_count == 1 && strcmp(back.procedures[0], "5470") == 0);
  CHECK(back.birth_weight == -1 && back.vent_hours == 12);

  /* A generated record read into fields groups as the record itself. */
  eg_episode first;
  eg_episode_init(&first);
  CHECK_STATUS(eg_episode_read(first_record, first_length, buffer, &first), EG_OK);
  CHECK_STATUS(eg_group(g, first_record, first_length, &by_record), EG_OK);
  CHECK_STATUS(eg_group_episode(g, &first, &by_fields), EG_OK);
  CHECK(strcmp(by_fields.res_drg_code, by_record.res_drg_code) == 0 && by_fields.res_pccl == by_record.res_pccl);
  CHECK(strcmp(by_fields.res_ccl_excl, by_record.res_ccl_excl) == 0 && by_record.res_adrg != 0);

  /* Every error of an invalid episode, and nothing written. */
  const char* many[10] = {"A00", "A01", "A02", "A03", "A04", "A05", "A06", "A07", "A08", "A09"};
  e.los = 1200;
  e.principal = NULL;
  e.secondary = many;
  e.secondary_count = 10;
  eg_result refused;
  memset(&refused, 0, sizeof refused);
  refused.size = sizeof refused;
  CHECK_STATUS(eg_group_episode(g, &e, &refused), EG_ERROR_INVALID_EPISODE);
  const char* said = eg_last_error();
  CHECK(strstr(said, "los: 1200 is not") && strstr(said, "principal: required") &&
        strstr(said, "secondary: 10 codes, at most 9"));
  CHECK(refused.result_line_length == 0);
  CHECK_STATUS(eg_episode_build(&e, record, sizeof record), EG_ERROR_INVALID_EPISODE);

  /* A letter in the record date cannot be told. */
  char bad[EG_EPISODE_RECORD_BYTES];
  memcpy(bad, first_record, sizeof bad);
  bad[23] = 'X';
  CHECK_STATUS(eg_episode_read(bad, sizeof bad, buffer, &back), EG_ERROR_INVALID_EPISODE);
  CHECK(strstr(eg_last_error(), "record_date") != NULL);
  eg_episode_buffer_free(buffer);
}

/* Every check, in the work directory; the number of failed checks. */
/* A registry of one version open at both ends groups as its set does; a
 * blank date takes no version; a broken registry names its line. */
static void check_registry(void) {
  FILE* f = fopen(path_in("registry.tsv", ""), "wb");
  CHECK(f != NULL);
  if (!f) return;
  fputs("# every readable date\nname\tdirectory\tvalid_from\tvalid_to\nx\tset\t\t\n", f);
  CHECK(fclose(f) == 0);
  eg_registry* reg = NULL;
  CHECK_STATUS(eg_registry_open(path_in("registry.tsv", ""), &reg), EG_OK);
  if (!reg) return;
  CHECK(eg_registry_version_count(reg) == 1 && strcmp(eg_registry_version_name(reg, 0), "x") == 0);
  CHECK(eg_registry_version_name(reg, 1) == NULL && eg_registry_warning_count(reg) == 0);
  eg_registry_grouper* g = NULL;
  CHECK_STATUS(eg_registry_grouper_new(reg, &g), EG_OK);
  eg_registry_free(reg); /* the grouper keeps what it needs */
  if (!g) return;
  eg_result r;
  r.size = sizeof r;
  int version = -2;
  CHECK_STATUS(eg_registry_group(g, first_record, first_length, &r, &version), EG_OK);
  CHECK(version == 0);
  CHECK(r.result_line_length == first_line_length && memcmp(r.result_line, first_line, first_line_length) == 0);
  char row[2200];
  const size_t n = eg_registry_result_row(g, 1, row, sizeof row);
  CHECK(n > 3 && memcmp(row + n - 3, "\tx\n", 3) == 0);
  char blank[300];
  memcpy(blank, first_record, sizeof blank);
  memset(blank + 21, ' ', 8);
  CHECK_STATUS(eg_registry_group(g, blank, sizeof blank, &r, &version), EG_OK);
  CHECK(version == -1 && r.res_adrg == 0 && memcmp(r.result_line + 277, "0000", 4) == 0);
  CHECK(eg_registry_json_row(g, 2, row, sizeof row) > 0 &&
        strstr(row, "{\"code\":\"no_table_version\",\"field\":\"rec_date\",\"date\":0}],\"tables\":null}") != NULL);
  eg_registry_grouper_free(g);

  f = fopen(path_in("broken.tsv", ""), "wb");
  CHECK(f != NULL);
  if (!f) return;
  fputs("name\tdirectory\tvalid_from\tvalid_to\nx\tnothing\t20050101\t\n", f);
  CHECK(fclose(f) == 0);
  CHECK_STATUS(eg_registry_open(path_in("broken.tsv", ""), &reg), EG_ERROR_REGISTRY);
  CHECK(reg == NULL && strstr(eg_last_error(), "broken.tsv:2: version x: ") != NULL);
}

static int run_checks(const char* grouper_tables, const char* grouper) {
  CHECK(strcmp(eg_version(), EG_TEST_VERSION) == 0);
  CHECK(eg_last_error()[0] == '\0');

  char command[9000];
  snprintf(command, sizeof command, "'%s' generate --seed 11 --profile small --episodes 400 '%s' >/dev/null",
           grouper_tables, path_in("set", ""));
  int ready = run(command) == 0;
  /* A last line of 5000 bytes without a line feed: two records. */
  FILE* in = ready ? fopen(path_in("set", "tamv30.in"), "ab") : NULL;
  if (in) {
    for (int i = 0; i < 5000; ++i) fputc(i < 84 ? "0000099931"[i % 10] : 'x', in);
    ready = fclose(in) == 0;
  }
  snprintf(command, sizeof command,
           "'%s' -C '%s' --results results.tsv >/dev/null && '%s' -C '%s' --output json.out --results results.jsonl "
           ">/dev/null && '%s' -C '%s' --output w.out --weights weights.tsv --results weighted.tsv >/dev/null && "
           "'%s' -C '%s' --output w.out --weights weights.tsv --results weighted.jsonl >/dev/null && "
           "'%s' -C '%s' --output i.out --impact --weights weights.tsv --results impact.tsv >/dev/null",
           grouper, path_in("set", ""), grouper, path_in("set", ""), grouper, path_in("set", ""), grouper,
           path_in("set", ""), grouper, path_in("set", ""));
  ready = ready && run(command) == 0;
  CHECK(ready);

  eg_table_set* set = NULL;
  eg_grouper* g = NULL;
  if (ready) {
    CHECK_STATUS(eg_table_set_open(path_in("set", ""), &set), EG_OK);
    CHECK(eg_last_error()[0] == '\0');
  }
  if (set) CHECK_STATUS(eg_grouper_new(set, &g), EG_OK);
  if (g) {
    check_against_program(g);
    check_row_capacity(g);
    check_weights(g);
    check_null_arguments(set, g);
    check_episodes(g);
    check_registry();
    /* The grouper keeps what it needs of a set freed before it. */
    eg_table_set_free(set);
    set = NULL;
    CHECK(first_length > 84);
    check_result_sizes(g, first_record, first_length);
    eg_grouper_free(g);
  }
  eg_table_set_free(set);
  check_broken_sets();
  return failures;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s GROUPER_TABLES GROUPER WORK_PARENT\n", argv[0]);
    return 2;
  }
  snprintf(work, sizeof work, "%s/c_api_work.XXXXXX", argv[3]);
  if (!mkdtemp(work)) {
    perror(work);
    return 1;
  }
  /* The checks run in a child, so that the directory goes even when one
   * crashes or a sanitizer stops it. */
  fflush(NULL);
  const pid_t child = fork();
  if (child == 0) {
    const int failed = run_checks(argv[1], argv[2]);
    if (failed) fprintf(stderr, "%d check(s) failed\n", failed);
    fflush(NULL);
    exit(failed ? 1 : 0);
  }
  int status = 0;
  const int waited = child > 0 && waitpid(child, &status, 0) == child;
  if (!waited) perror("fork");
  else if (WIFSIGNALED(status)) fprintf(stderr, "the checks ended by signal %d\n", WTERMSIG(status));

  char command[2048];
  snprintf(command, sizeof command, "rm -rf '%s'", work);
  const int removed = run(command) == 0;
  return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0 && removed ? 0 : 1;
}
