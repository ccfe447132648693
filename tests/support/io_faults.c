/* A preloaded library that makes one file or standard stream of a program
 * misbehave as failing disks and pipes do, so that tests can watch the
 * program cope.  It is loaded with LD_PRELOAD and steered by the environment:
 *
 *   GROUPER_FAULT_FILE        the stream to disturb: "<stdin>", "<stdout>", or a
 *                             text that the path of an opened file contains
 *   GROUPER_FAULT_SHORT=K     every read or write moves at most K bytes
 *   GROUPER_FAULT_EINTR=1     every read or write first fails once with EINTR
 *   GROUPER_FAULT_EIO_AT=N    reads fail with EIO once N bytes have been read
 *   GROUPER_FAULT_ENOSPC_AT=N writes fail with ENOSPC once N bytes are written
 *   GROUPER_FAULT_SHRINK_AT=N the file is cut to N bytes when a read reaches
 *                             byte N, as if another program truncated it
 *   GROUPER_FAULT_VANISH=1    the file is removed right after it is opened
 *
 * The faults sit in read() and write().  A program that uses those calls
 * meets them directly.  Streams of the C library read and write through
 * internal calls that no preloaded library can replace, so the disturbed
 * file's FILE (from fopen, or stdin/stdout) is swapped for a stream over the
 * same descriptor whose reads and writes go through the faulty calls, with
 * the C library's own semantics: a short write is carried on, a failed call
 * (EINTR included) marks the stream as failed.  fileno() of such a stream
 * still gives its descriptor. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

enum { kMaxFd = 1024, kMaxStreams = 16 };

/* The next definition of a function, the one this library stands in front of. */
#define REAL(name, type) ((type)dlsym(RTLD_NEXT, name))

static const char* target;  /* GROUPER_FAULT_FILE, or null: nothing is disturbed */
static long long short_max; /* 0: no limit */
static int eintr;
static long long eio_at = -1, enospc_at = -1, shrink_at = -1;
static int vanish;

/* The disturbed descriptors, with what has gone through each. */
static struct {
  int watched;
  int interrupted;  /* the last call failed with EINTR: the next one proceeds */
  long long read_bytes, written_bytes;
} fds[kMaxFd];

/* The streams put in place of the C library's, by their descriptor. */
static struct {
  FILE* stream;
  FILE* original;  /* closed with the stream; null for the standard streams */
  int fd;
} streams[kMaxStreams];

static long long number(const char* name, long long fallback) {
  const char* text = getenv(name);
  return text && *text ? atoll(text) : fallback;
}

static int watched(int fd) { return target && fd >= 0 && fd < kMaxFd && fds[fd].watched; }

static void watch(int fd, const char* path) {
  if (fd < 0 || fd >= kMaxFd) return;
  fds[fd].watched = 1;
  fds[fd].interrupted = 0;
  fds[fd].read_bytes = fds[fd].written_bytes = 0;
  if (vanish && path) unlink(path);
}

static int matches(const char* path) {
  return target && path && target[0] != '<' && strstr(path, target) != NULL;
}

/* One call of the pair that fails first, when interrupted calls are asked for. */
static int interrupt_now(int fd) {
  if (!eintr) return 0;
  fds[fd].interrupted = !fds[fd].interrupted;
  if (fds[fd].interrupted) errno = EINTR;
  return fds[fd].interrupted;
}

ssize_t read(int fd, void* buf, size_t count) {
  if (!watched(fd) || count == 0) return syscall(SYS_read, fd, buf, count);
  if (interrupt_now(fd)) return -1;
  const long long done = fds[fd].read_bytes;
  if (eio_at >= 0 && done >= eio_at) {
    errno = EIO;
    return -1;
  }
  if (short_max > 0 && (long long)count > short_max) count = (size_t)short_max;
  if (eio_at >= 0 && done + (long long)count > eio_at) count = (size_t)(eio_at - done);
  if (shrink_at >= 0 && done + (long long)count >= shrink_at) {
    if (done < shrink_at) count = (size_t)(shrink_at - done);
    /* The program reads its files without write access: the file is cut
       through a descriptor of its own, as another process would cut it. */
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (truncate(path, shrink_at) != 0) {
      /* not a file that can shrink: it only stops there */
    }
    if (done >= shrink_at) return 0;
  }
  const ssize_t n = syscall(SYS_read, fd, buf, count);
  if (n > 0) fds[fd].read_bytes += n;
  return n;
}

ssize_t write(int fd, const void* buf, size_t count) {
  if (!watched(fd) || count == 0) return syscall(SYS_write, fd, buf, count);
  if (interrupt_now(fd)) return -1;
  const long long done = fds[fd].written_bytes;
  if (enospc_at >= 0 && done >= enospc_at) {
    errno = ENOSPC;
    return -1;
  }
  if (short_max > 0 && (long long)count > short_max) count = (size_t)short_max;
  if (enospc_at >= 0 && done + (long long)count > enospc_at) count = (size_t)(enospc_at - done);
  const ssize_t n = syscall(SYS_write, fd, buf, count);
  if (n > 0) fds[fd].written_bytes += n;
  return n;
}

int close(int fd) {
  if (fd >= 0 && fd < kMaxFd) fds[fd].watched = 0;
  return (int)syscall(SYS_close, fd);
}

/* The replacement streams. */

static ssize_t stream_read(void* cookie, char* buf, size_t size) {
  return read((int)(intptr_t)cookie, buf, size);
}

/* As the C library writes a file: short writes are carried on, a failed
 * call ends the write with what was written (the stream is then failed). */
static ssize_t stream_write(void* cookie, const char* buf, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write((int)(intptr_t)cookie, buf + done, size - done);
    if (n <= 0) break;
    done += (size_t)n;
  }
  return (ssize_t)done;
}

static int stream_seek(void* cookie, off64_t* offset, int whence) {
  const off64_t at = lseek64((int)(intptr_t)cookie, *offset, whence);
  if (at < 0) return -1;
  *offset = at;
  return 0;
}

static int stream_close(void* cookie) {
  const int fd = (int)(intptr_t)cookie;
  FILE* original = NULL;
  for (int i = 0; i < kMaxStreams; ++i) {
    if (streams[i].stream && streams[i].fd == fd) {
      original = streams[i].original;
      streams[i].stream = NULL;
      break;
    }
  }
  if (fd >= 0 && fd < kMaxFd) fds[fd].watched = 0;
  if (original) return REAL("fclose", int (*)(FILE*))(original);
  return (int)syscall(SYS_close, fd);
}

static FILE* replace(int fd, FILE* original, const char* mode) {
  cookie_io_functions_t io = {stream_read, stream_write, stream_seek, stream_close};
  FILE* stream = fopencookie((void*)(intptr_t)fd, mode, io);
  if (!stream) return original;
  for (int i = 0; i < kMaxStreams; ++i) {
    if (!streams[i].stream) {
      streams[i].stream = stream;
      streams[i].original = original;
      streams[i].fd = fd;
      break;
    }
  }
  return stream;
}

static FILE* open_stream(const char* name, const char* path, const char* mode) {
  FILE* f = REAL(name, FILE * (*)(const char*, const char*))(path, mode);
  if (!f || !matches(path)) return f;
  const int fd = fileno(f);
  watch(fd, path);
  return replace(fd, f, mode);
}

FILE* fopen(const char* path, const char* mode) { return open_stream("fopen", path, mode); }
FILE* fopen64(const char* path, const char* mode) { return open_stream("fopen64", path, mode); }

int fileno(FILE* stream) {
  for (int i = 0; i < kMaxStreams; ++i) {
    if (streams[i].stream && streams[i].stream == stream) return streams[i].fd;
  }
  return REAL("fileno", int (*)(FILE*))(stream);
}

static mode_t mode_argument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

static int opened(int fd, const char* path) {
  if (fd >= 0 && matches(path)) watch(fd, path);
  return fd;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  return opened(REAL("open", int (*)(const char*, int, ...))(path, flags, mode), path);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  return opened(REAL("open64", int (*)(const char*, int, ...))(path, flags, mode), path);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  return opened(REAL("openat", int (*)(int, const char*, int, ...))(dirfd, path, flags, mode), path);
}

__attribute__((constructor)) static void start(void) {
  target = getenv("GROUPER_FAULT_FILE");
  if (target && !*target) target = NULL;
  short_max = number("GROUPER_FAULT_SHORT", 0);
  eintr = number("GROUPER_FAULT_EINTR", 0) != 0;
  eio_at = number("GROUPER_FAULT_EIO_AT", -1);
  enospc_at = number("GROUPER_FAULT_ENOSPC_AT", -1);
  shrink_at = number("GROUPER_FAULT_SHRINK_AT", -1);
  vanish = number("GROUPER_FAULT_VANISH", 0) != 0;
  if (!target) return;
  if (strcmp(target, "<stdin>") == 0) {
    watch(STDIN_FILENO, NULL);
    stdin = replace(STDIN_FILENO, NULL, "r");
  } else if (strcmp(target, "<stdout>") == 0) {
    watch(STDOUT_FILENO, NULL);
    stdout = replace(STDOUT_FILENO, NULL, "w");
  }
}
