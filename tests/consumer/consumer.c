/* Usage: consumer_c TABLE_DIR INPUT
 * The C interface's counterpart of project/main.cc: groups every record of
 * INPUT and writes the result lines to standard output. */
#include <episode_grouper/episode_grouper.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s TABLE_DIR INPUT\n", argv[0]);
    return 2;
  }
  eg_table_set* set;
  eg_grouper* g;
  if (eg_table_set_open(argv[1], &set) != EG_OK || eg_grouper_new(set, &g) != EG_OK) {
    fprintf(stderr, "%s\n", eg_last_error());
    return 1;
  }
  FILE* in = fopen(argv[2], "rb");
  if (!in) {
    fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  /* Records as the program splits them: through a line feed, at most 4095 bytes. */
  static char buffer[8192];
  size_t have = 0;
  int status = 0;
  for (;;) {
    have += fread(buffer + have, 1, sizeof buffer - have, in);
    if (have == 0) break;
    const size_t window = have < 4095 ? have : 4095;
    const char* lf = memchr(buffer, '\n', window);
    const size_t length = lf ? (size_t)(lf - buffer) + 1 : window;
    eg_result r;
    r.size = sizeof r;
    if (eg_group(g, buffer, length, &r) != EG_OK) {
      fprintf(stderr, "%s\n", eg_last_error());
      status = 1;
      break;
    }
    fwrite(r.result_line, 1, r.result_line_length, stdout);
    memmove(buffer, buffer + length, have - length);
    have -= length;
  }
  if (ferror(in)) status = 1;
  fclose(in);
  eg_grouper_free(g);
  eg_table_set_free(set);
  return fflush(stdout) == 0 ? status : 1;
}
