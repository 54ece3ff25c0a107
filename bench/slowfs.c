// slowfs: a FUSE passthrough that stands in for a slow volume (a file share).
//
//   slowfs [--delay-ms N] BACKING MOUNTPOINT [FUSE options, e.g. -f]
//
// Mirrors the folder BACKING at MOUNTPOINT and waits a fixed time (1 ms
// unless --delay-ms says otherwise; fractions allowed) in every open, create,
// write, release (the last close of a handle), rename, mkdir and
// time-setting request before answering it.  Everything else (lookups,
// attributes, reads, directory listings, deletes) passes through at once.
// Requests are served by several threads, as FUSE does by default, so
// concurrent requests wait side by side, like round trips to a server.
//
// The file /.slowfs-requests at the mount's root (not listed, not in the
// backing folder) reads as the number of delayed requests of each kind so
// far, one "kind count" per line, so a benchmark can count a run's requests.
//
// Built natively by bench/run.sh: gcc slowfs.c $(pkg-config --cflags --libs fuse3)

#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

static char backing[PATH_MAX];
static long delay_ns = 1000000;

enum { kOpen, kCreate, kWrite, kRelease, kRename, kMkdir, kUtimens, kKinds };
static const char* const kind_names[kKinds] = {"open",   "create", "write",  "release",
                                               "rename", "mkdir",  "utimens"};
static unsigned long long counts[kKinds];

static const char kCounterPath[] = "/.slowfs-requests";
#define COUNTER_HANDLE UINT64_MAX
#define COUNTER_SIZE 4096

static int is_counter(const char* path) { return strcmp(path, kCounterPath) == 0; }

static void wait_delay(int kind) {
  __atomic_fetch_add(&counts[kind], 1, __ATOMIC_RELAXED);
  struct timespec t = {delay_ns / 1000000000L, delay_ns % 1000000000L};
  while (nanosleep(&t, &t) == -1 && errno == EINTR) {
  }
}

// The backing path of a path below the mount point ("/" for its root).
static int full(const char* path, char* out) {
  int n = snprintf(out, PATH_MAX, "%s%s", backing, path);
  return n >= PATH_MAX ? -ENAMETOOLONG : 0;
}

#define FULL(path, name)          \
  char name[PATH_MAX];            \
  do {                            \
    int e_ = full(path, name);    \
    if (e_ != 0) return e_;       \
  } while (0)

static int result(int r) { return r == -1 ? -errno : 0; }

static void* sf_init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
  (void)conn;
  cfg->use_ino = 1;
  // A name deleted while a handle is open goes away at once, as on the
  // backing disk, instead of becoming a hidden file that keeps its folder
  // from being removed.
  cfg->hard_remove = 1;
  return NULL;
}

static int sf_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  if (is_counter(path)) {
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = COUNTER_SIZE;
    return 0;
  }
  if (fi) return result(fstat((int)fi->fh, st));
  FULL(path, p);
  return result(lstat(p, st));
}

static int sf_access(const char* path, int mask) {
  if (is_counter(path)) return (mask & W_OK) ? -EACCES : 0;
  FULL(path, p);
  return result(access(p, mask));
}

static int sf_readlink(const char* path, char* buf, size_t size) {
  FULL(path, p);
  ssize_t n = readlink(p, buf, size - 1);
  if (n == -1) return -errno;
  buf[n] = '\0';
  return 0;
}

static int sf_opendir(const char* path, struct fuse_file_info* fi) {
  FULL(path, p);
  DIR* d = opendir(p);
  if (!d) return -errno;
  fi->fh = (uint64_t)(uintptr_t)d;
  return 0;
}

static int sf_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset,
                      struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
  (void)path;
  (void)flags;
  DIR* d = (DIR*)(uintptr_t)fi->fh;
  if (offset == 0) rewinddir(d);
  struct dirent* e;
  while ((errno = 0, e = readdir(d)) != NULL) {
    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_ino = e->d_ino;
    st.st_mode = (mode_t)(e->d_type << 12);
    if (filler(buf, e->d_name, &st, 0, 0)) break;
  }
  return errno ? -errno : 0;
}

static int sf_releasedir(const char* path, struct fuse_file_info* fi) {
  (void)path;
  closedir((DIR*)(uintptr_t)fi->fh);
  return 0;
}

static int sf_mknod(const char* path, mode_t mode, dev_t rdev) {
  FULL(path, p);
  return result(mknod(p, mode, rdev));
}

static int sf_mkdir(const char* path, mode_t mode) {
  FULL(path, p);
  wait_delay(kMkdir);
  return result(mkdir(p, mode));
}

static int sf_unlink(const char* path) {
  FULL(path, p);
  return result(unlink(p));
}

static int sf_rmdir(const char* path) {
  FULL(path, p);
  return result(rmdir(p));
}

static int sf_symlink(const char* target, const char* path) {
  FULL(path, p);
  return result(symlink(target, p));
}

static int sf_rename(const char* from, const char* to, unsigned int flags) {
  FULL(from, f);
  FULL(to, t);
  wait_delay(kRename);
  if (flags) return result(renameat2(AT_FDCWD, f, AT_FDCWD, t, flags));
  return result(rename(f, t));
}

static int sf_link(const char* from, const char* to) {
  FULL(from, f);
  FULL(to, t);
  return result(link(f, t));
}

static int sf_chmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
  if (fi) return result(fchmod((int)fi->fh, mode));
  FULL(path, p);
  return result(chmod(p, mode));
}

static int sf_chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi) {
  if (fi) return result(fchown((int)fi->fh, uid, gid));
  FULL(path, p);
  return result(lchown(p, uid, gid));
}

static int sf_truncate(const char* path, off_t size, struct fuse_file_info* fi) {
  if (fi) return result(ftruncate((int)fi->fh, size));
  FULL(path, p);
  return result(truncate(p, size));
}

static int sf_utimens(const char* path, const struct timespec tv[2], struct fuse_file_info* fi) {
  wait_delay(kUtimens);
  if (fi) return result(futimens((int)fi->fh, tv));
  FULL(path, p);
  return result(utimensat(AT_FDCWD, p, tv, AT_SYMLINK_NOFOLLOW));
}

static int sf_create(const char* path, mode_t mode, struct fuse_file_info* fi) {
  FULL(path, p);
  wait_delay(kCreate);
  int fd = open(p, fi->flags, mode);
  if (fd == -1) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int sf_open(const char* path, struct fuse_file_info* fi) {
  if (is_counter(path)) {
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EACCES;
    fi->fh = COUNTER_HANDLE;
    fi->direct_io = 1;  // read anew every time, never from the page cache
    return 0;
  }
  FULL(path, p);
  wait_delay(kOpen);
  int fd = open(p, fi->flags);
  if (fd == -1) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int sf_read(const char* path, char* buf, size_t size, off_t offset,
                   struct fuse_file_info* fi) {
  (void)path;
  if (fi->fh == COUNTER_HANDLE) {
    char text[COUNTER_SIZE];
    int length = 0;
    for (int k = 0; k < kKinds; ++k)
      length += snprintf(text + length, sizeof text - (size_t)length, "%s %llu\n", kind_names[k],
                         __atomic_load_n(&counts[k], __ATOMIC_RELAXED));
    if (offset >= length) return 0;
    size_t n = (size_t)(length - offset) < size ? (size_t)(length - offset) : size;
    memcpy(buf, text + offset, n);
    return (int)n;
  }
  ssize_t n = pread((int)fi->fh, buf, size, offset);
  return n == -1 ? -errno : (int)n;
}

static int sf_write(const char* path, const char* buf, size_t size, off_t offset,
                    struct fuse_file_info* fi) {
  (void)path;
  wait_delay(kWrite);
  ssize_t n = pwrite((int)fi->fh, buf, size, offset);
  return n == -1 ? -errno : (int)n;
}

static int sf_statfs(const char* path, struct statvfs* st) {
  FULL(path, p);
  return result(statvfs(p, st));
}

static int sf_flush(const char* path, struct fuse_file_info* fi) {
  (void)path;
  (void)fi;
  return 0;
}

static int sf_release(const char* path, struct fuse_file_info* fi) {
  (void)path;
  if (fi->fh == COUNTER_HANDLE) return 0;
  wait_delay(kRelease);
  close((int)fi->fh);
  return 0;
}

static int sf_fsync(const char* path, int datasync, struct fuse_file_info* fi) {
  (void)path;
  return result(datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static int sf_fallocate(const char* path, int mode, off_t offset, off_t length,
                        struct fuse_file_info* fi) {
  (void)path;
  return result(fallocate((int)fi->fh, mode, offset, length));
}

static int sf_setxattr(const char* path, const char* name, const char* value, size_t size,
                       int flags) {
  FULL(path, p);
  return result(lsetxattr(p, name, value, size, flags));
}

static int sf_getxattr(const char* path, const char* name, char* value, size_t size) {
  if (is_counter(path)) return -ENODATA;
  FULL(path, p);
  ssize_t n = lgetxattr(p, name, value, size);
  return n == -1 ? -errno : (int)n;
}

static int sf_listxattr(const char* path, char* list, size_t size) {
  FULL(path, p);
  ssize_t n = llistxattr(p, list, size);
  return n == -1 ? -errno : (int)n;
}

static int sf_removexattr(const char* path, const char* name) {
  FULL(path, p);
  return result(lremovexattr(p, name));
}

static const struct fuse_operations operations = {
    .init = sf_init,
    .getattr = sf_getattr,
    .access = sf_access,
    .readlink = sf_readlink,
    .opendir = sf_opendir,
    .readdir = sf_readdir,
    .releasedir = sf_releasedir,
    .mknod = sf_mknod,
    .mkdir = sf_mkdir,
    .symlink = sf_symlink,
    .unlink = sf_unlink,
    .rmdir = sf_rmdir,
    .rename = sf_rename,
    .link = sf_link,
    .chmod = sf_chmod,
    .chown = sf_chown,
    .truncate = sf_truncate,
    .utimens = sf_utimens,
    .open = sf_open,
    .create = sf_create,
    .read = sf_read,
    .write = sf_write,
    .statfs = sf_statfs,
    .flush = sf_flush,
    .release = sf_release,
    .fsync = sf_fsync,
    .fallocate = sf_fallocate,
    .setxattr = sf_setxattr,
    .getxattr = sf_getxattr,
    .listxattr = sf_listxattr,
    .removexattr = sf_removexattr,
};

static int usage(const char* self) {
  fprintf(stderr, "usage: %s [--delay-ms N] BACKING MOUNTPOINT [FUSE options]\n", self);
  return 2;
}

int main(int argc, char** argv) {
  int i = 1;
  if (i + 1 < argc && strcmp(argv[i], "--delay-ms") == 0) {
    char* end;
    double ms = strtod(argv[i + 1], &end);
    if (*end != '\0' || ms < 0 || ms > 60000) return usage(argv[0]);
    delay_ns = (long)(ms * 1e6 + 0.5);
    i += 2;
  }
  if (argc - i < 2) return usage(argv[0]);
  if (!realpath(argv[i], backing)) {
    fprintf(stderr, "%s: %s: %s\n", argv[0], argv[i], strerror(errno));
    return 1;
  }
  if (strcmp(backing, "/") == 0) backing[0] = '\0';
  // FUSE sees the program name, the mount point and what follows it.
  argv[i] = argv[0];
  return fuse_main(argc - i, argv + i, &operations, NULL);
}
