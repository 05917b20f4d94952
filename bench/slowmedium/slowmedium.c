// slowmedium SOURCE MOUNTPOINT --latency-ms D [--cache-ms T] [--direct-io] [--stats FILE] [-f]
//            [-o FUSE_OPTION,...]
//
// Serves SOURCE read-only at MOUNTPOINT through FUSE and makes every request the kernel sends
// take D milliseconds (fractions allowed), as a USB disk or an NFS/SMB share does, so that the
// import's and the rescan's benchmarks can be run against a slow medium on any machine.
//
// What costs a round trip: each name looked up and each stat (both counted as "stat"), each
// folder opened and each listing (one READDIR gives the whole listing), each file opened, each
// read (up to 128 KiB, read-ahead included) and each symbolic link followed. Closing files and
// folders and statfs are free. Every request sleeps on its own thread (up to 1,024 of them), so
// requests a program keeps in flight together overlap as they do on a share.
//
// What the kernel may keep: names and attributes for --cache-ms T (default 0: every use asks
// again); a file's pages only while it stays open (they are dropped when it is opened again), or
// none at all with --direct-io.
//
// --stats FILE: on SIGUSR1, and once more at unmount, FILE is replaced by one line
//   stat=… opendir=… readdir=… open=… read=… readlink=… read_bytes=… release=… busy_ms=…
//   peak_in_flight=…
// with the counts since the mount. busy_ms sums the time of every round trip, so its growth over
// a program's wall time is how many requests the program kept in flight on average;
// peak_in_flight is the most at once since the previous line was written.
//
// Other users get in only with -o allow_other, and then only to what the files' modes let them
// read (default_permissions, which costs a stat round trip per permission check).
//
// -f keeps it in the foreground, so that a script knows its PID; unmount with
// `fusermount3 -u MOUNTPOINT` (or `umount MOUNTPOINT` as root).
#define FUSE_USE_VERSION 312
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <fuse.h>

enum {
  kMaxThreads = 1024,
  // Threads kept waiting between bursts: a program that opens files in parallel would otherwise
  // pay for starting them again at every burst.
  kIdleThreads = 256,
  // Read-aheads the kernel may have outstanding at once (its own default is 12), which a network
  // client allows too.
  kMaxBackground = 256,
};

// A day: far more than any medium takes, and far from overflowing the nanoseconds it becomes.
static const double kLongestMs = 24 * 3600 * 1000.0;

// Kinds of round trip, in the order the stats line gives them.
typedef enum { kStat, kOpendir, kReaddir, kOpen, kRead, kReadlink, kKinds } TripKind;
static const char* const kKindNames[kKinds] = {"stat", "opendir", "readdir",
                                               "open", "read",    "readlink"};

typedef struct {
  int source;  // SOURCE, opened once: every path is resolved below it
  int64_t latency_ns;
  double cache_s;
  int direct_io;
  const char* stats_path;  // absolute, as a daemon runs from "/"
} Options;

static Options g_options = {.source = -1};

static atomic_llong g_trips[kKinds];
static atomic_llong g_read_bytes;
static atomic_llong g_releases;
static atomic_llong g_busy_ns;
static atomic_int g_in_flight;
static atomic_int g_peak_in_flight;

static int64_t monotonic_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// Counts a request and starts its clock. The request's own work (a stat, a pread) is done in
// the time it waits anyway, so the source's speed does not add to the latency.
static int64_t trip_start(TripKind kind) {
  atomic_fetch_add(&g_trips[kind], 1);
  const int in_flight = atomic_fetch_add(&g_in_flight, 1) + 1;
  int peak = atomic_load(&g_peak_in_flight);
  while (in_flight > peak && !atomic_compare_exchange_weak(&g_peak_in_flight, &peak, in_flight)) {
  }
  return monotonic_ns();
}

// Holds this request's thread until its latency has passed since trip_start; the other threads
// go on serving meanwhile.
static void trip_finish(int64_t started) {
  const int64_t due = started + g_options.latency_ns;
  const struct timespec until = {.tv_sec = due / 1000000000, .tv_nsec = due % 1000000000};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
  }
  atomic_fetch_add(&g_busy_ns, monotonic_ns() - started);
  atomic_fetch_sub(&g_in_flight, 1);
}

// FUSE paths start with "/"; below the source folder they are relative.
static const char* below_source(const char* path) { return path[1] ? path + 1 : "."; }

static void* sm_init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
  cfg->entry_timeout = g_options.cache_s;
  cfg->attr_timeout = g_options.cache_s;
  cfg->negative_timeout = g_options.cache_s;
  cfg->use_ino = 1;  // the source's inode numbers, as a share reports the server's
  // Every open drops the file's cached pages: a second pass reads the medium again, as it does
  // on a share whose files may have changed in between.
  cfg->kernel_cache = 0;
  cfg->auto_cache = 0;
  cfg->direct_io = g_options.direct_io;
  // A listing carries names and kinds only; knowing more about an entry takes a stat of its own,
  // as with a plain NFS READDIR.
  conn->want &= ~FUSE_CAP_READDIRPLUS;
  // With it the kernel would ask for the attributes before serving cached pages, which a network
  // client with an attribute cache does not do.
  conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
  conn->max_background = kMaxBackground;
  conn->congestion_threshold = kMaxBackground * 3 / 4;
  return NULL;
}

static int sm_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  (void)fi;
  const int64_t started = trip_start(kStat);
  const int result =
      fstatat(g_options.source, below_source(path), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
  trip_finish(started);
  return result;
}

static int sm_readlink(const char* path, char* target, size_t size) {
  const int64_t started = trip_start(kReadlink);
  const ssize_t length = readlinkat(g_options.source, below_source(path), target, size - 1);
  const int result = length < 0 ? -errno : 0;
  if (length >= 0) target[length] = '\0';
  trip_finish(started);
  return result;
}

static int sm_opendir(const char* path, struct fuse_file_info* fi) {
  const int64_t started = trip_start(kOpendir);
  int result = 0;
  const int fd = openat(g_options.source, below_source(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* folder = fd < 0 ? NULL : fdopendir(fd);
  if (!folder) {
    result = -errno;
    if (fd >= 0) close(fd);
  }
  fi->fh = (uint64_t)(uintptr_t)folder;
  trip_finish(started);
  return result;
}

// The whole listing in one round trip: with offsets of 0, libfuse keeps it and serves the
// kernel's further READDIRs of the same handle itself, as a share's client does with one reply.
static int sm_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
  (void)path;
  (void)offset;
  (void)flags;
  const int64_t started = trip_start(kReaddir);
  DIR* folder = (DIR*)(uintptr_t)fi->fh;
  rewinddir(folder);
  for (const struct dirent* entry; (entry = readdir(folder)) != NULL;) {
    // The kind from the listing, so that a walk can tell folders from files without a stat.
    const struct stat kind = {.st_ino = entry->d_ino, .st_mode = DTTOIF(entry->d_type)};
    if (fill(buffer, entry->d_name, &kind, 0, 0) != 0) break;
  }
  trip_finish(started);
  return 0;
}

static int sm_releasedir(const char* path, struct fuse_file_info* fi) {
  (void)path;
  closedir((DIR*)(uintptr_t)fi->fh);
  return 0;
}

static int sm_open(const char* path, struct fuse_file_info* fi) {
  // The mount is "ro", so the kernel refuses writers before they get here; this is in case
  // someone mounts it without.
  if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC)) return -EROFS;
  const int64_t started = trip_start(kOpen);
  const int fd = openat(g_options.source, below_source(path), O_RDONLY | O_CLOEXEC);
  const int result = fd < 0 ? -errno : 0;
  fi->fh = (uint64_t)fd;
  fi->direct_io = g_options.direct_io;
  fi->keep_cache = 0;
  trip_finish(started);
  return result;
}

static int sm_read(const char* path, char* buffer, size_t size, off_t offset,
                   struct fuse_file_info* fi) {
  (void)path;
  const int64_t started = trip_start(kRead);
  const ssize_t length = pread((int)fi->fh, buffer, size, offset);
  if (length > 0) atomic_fetch_add(&g_read_bytes, length);
  trip_finish(started);
  return length < 0 ? -errno : (int)length;
}

static int sm_release(const char* path, struct fuse_file_info* fi) {
  (void)path;
  atomic_fetch_add(&g_releases, 1);
  close((int)fi->fh);
  return 0;
}

static int sm_statfs(const char* path, struct statvfs* st) {
  (void)path;
  return fstatvfs(g_options.source, st) == 0 ? 0 : -errno;
}

static const struct fuse_operations kOperations = {
    .init = sm_init,
    .getattr = sm_getattr,
    .readlink = sm_readlink,
    .opendir = sm_opendir,
    .readdir = sm_readdir,
    .releasedir = sm_releasedir,
    .open = sm_open,
    .read = sm_read,
    .release = sm_release,
    .statfs = sm_statfs,
};

// Replaces the stats file with the counts so far and starts a new peak. Written beside it and
// renamed, so that a script that waits for the file to appear never reads half a line. The lock
// keeps a late SIGUSR1 and the last write at unmount from filling the same ".part" together; the
// ".part" is never followed through a link, as this runs as root in a folder others may write to.
static void write_stats(void) {
  static pthread_mutex_t writing = PTHREAD_MUTEX_INITIALIZER;
  if (!g_options.stats_path) return;
  pthread_mutex_lock(&writing);
  char scratch[PATH_MAX + 8];
  snprintf(scratch, sizeof scratch, "%s.part", g_options.stats_path);
  const int fd = open(scratch, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  FILE* out = fd < 0 ? NULL : fdopen(fd, "w");
  if (!out) {
    perror(scratch);
    if (fd >= 0) close(fd);
    pthread_mutex_unlock(&writing);
    return;
  }
  for (int kind = 0; kind < kKinds; ++kind)
    fprintf(out, "%s=%lld ", kKindNames[kind], atomic_load(&g_trips[kind]));
  const int peak = atomic_exchange(&g_peak_in_flight, atomic_load(&g_in_flight));
  fprintf(out, "read_bytes=%lld release=%lld busy_ms=%.1f peak_in_flight=%d\n",
          atomic_load(&g_read_bytes), atomic_load(&g_releases), atomic_load(&g_busy_ns) / 1e6,
          peak);
  if (fclose(out) != 0 || rename(scratch, g_options.stats_path) != 0) perror(g_options.stats_path);
  pthread_mutex_unlock(&writing);
}

// SIGUSR1 is taken here, off the serving threads (which block it), so that writing the file
// needs no async-signal-safe tricks.
static void* stats_writer(void* signals) {
  for (int signal; sigwait((const sigset_t*)signals, &signal) == 0;) write_stats();
  return NULL;
}

static void usage(const char* program) {
  fprintf(stderr,
          "usage: %s SOURCE MOUNTPOINT --latency-ms D [--cache-ms T] [--direct-io] "
          "[--stats FILE] [-f] [-o FUSE_OPTION,...]\n",
          program);
  exit(2);
}

// A number of milliseconds, fractions allowed; negative, unreadable or endless ones ("inf",
// "nan", or too large for the nanosecond clock) end the program with the usage line.
static double milliseconds(const char* text, const char* program) {
  char* end = NULL;
  errno = 0;
  const double value = strtod(text, &end);
  if (end == text || *end != '\0' || errno == ERANGE || !isfinite(value) || value < 0 ||
      value > kLongestMs)
    usage(program);
  return value;
}

// SOURCE as it goes into "fsname=": libfuse splits options at ',' and takes '\\' as an escape,
// so a folder named "a,rw" or "a,suid,dev" would otherwise add mount options of its own.
static char* fsname_escaped(const char* source) {
  char* escaped = malloc(2 * strlen(source) + 1);
  if (!escaped) return NULL;
  char* out = escaped;
  for (const char* in = source; *in; ++in) {
    if (*in == ',' || *in == '\\') *out++ = '\\';
    *out++ = *in;
  }
  *out = '\0';
  return escaped;
}

// Notes whether the -o options let other users in. Every option stays for fuse_new.
enum { kKeyAllowOther = 1 };
static const struct fuse_opt kAllowOther[] = {FUSE_OPT_KEY("allow_other", kKeyAllowOther),
                                              FUSE_OPT_END};
static int note_allow_other(void* others, const char* arg, int key, struct fuse_args* out) {
  (void)arg;
  (void)out;
  if (key == kKeyAllowOther) *(int*)others = 1;
  return 1;
}

// The stats file's absolute path: without -f the process moves to "/" once mounted.
static const char* absolute(const char* path) {
  if (path[0] == '/') return path;
  char folder[PATH_MAX];
  if (!getcwd(folder, sizeof folder)) return path;
  char* joined = NULL;
  return asprintf(&joined, "%s/%s", folder, path) < 0 ? path : joined;
}

int main(int argc, char** argv) {
  const char* source = NULL;
  const char* mountpoint = NULL;
  double latency_ms = -1;
  int foreground = 0;
  struct fuse_args args = FUSE_ARGS_INIT(0, NULL);
  fuse_opt_add_arg(&args, argv[0]);
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const int has_value = i + 1 < argc;
    if (strcmp(arg, "--latency-ms") == 0 && has_value) {
      latency_ms = milliseconds(argv[++i], argv[0]);
    } else if (strcmp(arg, "--cache-ms") == 0 && has_value) {
      g_options.cache_s = milliseconds(argv[++i], argv[0]) / 1000;
    } else if (strcmp(arg, "--stats") == 0 && has_value) {
      g_options.stats_path = absolute(argv[++i]);
    } else if (strcmp(arg, "--direct-io") == 0) {
      g_options.direct_io = 1;
    } else if (strcmp(arg, "-f") == 0) {
      foreground = 1;
    } else if (strcmp(arg, "-o") == 0 && has_value) {
      fuse_opt_add_arg(&args, "-o");
      fuse_opt_add_arg(&args, argv[++i]);
    } else if (arg[0] == '-') {
      usage(argv[0]);
    } else if (!source) {
      source = arg;
    } else if (!mountpoint) {
      mountpoint = arg;
    } else {
      usage(argv[0]);
    }
  }
  if (!source || !mountpoint || latency_ms < 0) usage(argv[0]);
  g_options.latency_ns = (int64_t)(latency_ms * 1e6);
  g_options.source = open(source, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_options.source < 0) {
    perror(source);
    return 1;
  }

  // Read-only whatever the -o options say: it comes last, and "ro" wins over an earlier "rw".
  // With allow_other the kernel checks each caller against the files' own modes, as the serving
  // threads run as whoever mounted (root, in the benchmark) and would otherwise show everyone
  // every file. Only then: with attributes cached for no time, each check costs a stat round trip
  // of its own, and without allow_other nobody but the owner gets in anyway.
  int others = 0;
  if (fuse_opt_parse(&args, &others, kAllowOther, note_allow_other) != 0) usage(argv[0]);
  char* mount_options = NULL;
  char* fsname = fsname_escaped(source);
  if (!fsname || asprintf(&mount_options, "ro,%sfsname=slowmedium:%s,subtype=slowmedium",
                          others ? "default_permissions," : "", fsname) < 0) {
    perror("slowmedium");
    return 1;
  }
  free(fsname);
  fuse_opt_add_arg(&args, "-o");
  fuse_opt_add_arg(&args, mount_options);
  free(mount_options);

  // Blocked before any thread starts, so that every serving thread inherits the mask and only
  // the stats writer takes the signal.
  static sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, NULL);

  struct fuse* fs = fuse_new(&args, &kOperations, sizeof kOperations, NULL);
  if (!fs) {
    fuse_opt_free_args(&args);
    return 1;
  }
  if (fuse_mount(fs, mountpoint) != 0) {
    fuse_destroy(fs);
    fuse_opt_free_args(&args);
    return 1;
  }
  struct fuse_session* session = fuse_get_session(fs);
  int status = 1;
  if (fuse_daemonize(foreground) == 0 && fuse_set_signal_handlers(session) == 0) {
    // After daemonizing: a thread started before the fork would not exist in the daemon.
    pthread_t writer;
    if (g_options.stats_path) pthread_create(&writer, NULL, stats_writer, &usr1);
    struct fuse_loop_config* loop = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(loop, kMaxThreads);
    fuse_loop_cfg_set_idle_threads(loop, kIdleThreads);
    status = fuse_loop_mt(fs, loop) < 0 ? 1 : 0;
    fuse_loop_cfg_destroy(loop);
    write_stats();
    fuse_remove_signal_handlers(session);
  }
  fuse_unmount(fs);
  fuse_destroy(fs);
  fuse_opt_free_args(&args);
  close(g_options.source);
  return status;
}
