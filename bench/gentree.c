/* Deterministic home-like trees for the benchmarks in this folder.
 *
 *   gentree tree OUT [SCALE]
 *       Builds a home directory under OUT (which must not exist) and prints one line per place
 *       that bench/run turns into a git repository, parents before the repositories inside them:
 *         plain PATH          `git init` in PATH
 *         sep PATH GITDIR     `git init --separate-git-dir GITDIR PATH` (`.git` becomes a file)
 *       The tree itself holds no `.git`, so the same call serves the tree without repositories.
 *       SCALE (default 1) multiplies every count; 1 gives about 110,000 directories that a walk
 *       enters and 60,000 more inside the ten pruned names.
 *   gentree markers MARKERDIR REPOBASE N
 *       N directories below the absolute path REPOBASE and, in MARKERDIR, one marker per
 *       directory named after its path, with distinct modification times.
 *
 * The same arguments always give the same tree: one fixed-seed generator drives every choice.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static uint64_t rng_state = 0x9e3779b97f4a7c15ULL;

static uint64_t next_random(void) { /* splitmix64 */
  uint64_t z = (rng_state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

static long rnd(long lo, long hi) { /* inclusive */
  return lo + (long)(next_random() % (uint64_t)(hi - lo + 1));
}

static char path[4096];
static size_t path_len;
static int pruned_depth; /* > 0 while inside one of the pruned names */
static long walked_dirs, pruned_dirs, files, links;

static void die(const char* what) {
  fprintf(stderr, "gentree: %s: %s: %s\n", what, path, strerror(errno));
  exit(1);
}

static size_t vpush(const char* fmt, va_list ap) {
  const size_t saved = path_len;
  path[path_len++] = '/';
  const int n = vsnprintf(path + path_len, sizeof path - path_len, fmt, ap);
  if (n < 0 || (size_t)n >= sizeof path - path_len) {
    fprintf(stderr, "gentree: path too long\n");
    exit(1);
  }
  path_len += (size_t)n;
  return saved;
}

static size_t push(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const size_t saved = vpush(fmt, ap);
  va_end(ap);
  return saved;
}

static void pop(size_t saved) {
  path_len = saved;
  path[path_len] = '\0';
}

static void make_dir(void) {
  if (mkdir(path, 0755) != 0) {
    die("mkdir");
  }
  if (pruned_depth > 0) {
    ++pruned_dirs;
  } else {
    ++walked_dirs;
  }
}

/* Makes a new directory and makes it the current path; pop() leaves it. */
static size_t enter(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const size_t saved = vpush(fmt, ap);
  va_end(ap);
  make_dir();
  return saved;
}

static void make_file(const char* name) {
  const size_t saved = push("%s", name);
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    die("open");
  }
  close(fd);
  ++files;
  pop(saved);
}

static void make_link(const char* target, const char* name) {
  const size_t saved = push("%s", name);
  if (symlink(target, path) != 0) {
    die("symlink");
  }
  ++links;
  pop(saved);
}

static const char* const dir_words[] = {
    "src",    "lib",      "docs",    "assets", "tests",   "internal", "pkg",     "cmd",
    "utils",  "common",   "core",    "api",    "models",  "views",    "scripts", "config",
    "data",   "examples", "include", "res",    "images",  "old",      "notes",   "drafts",
    "backup", "archive",  "misc",    "shared", "widgets", "handlers", "fixtures"};
static const char* const file_words[] = {"README.md", "main.c",   "index.js", "notes.txt",
                                         "photo.jpg", "data.csv", "mod.rs",   "util.py"};

#define COUNT(a) ((long)(sizeof(a) / sizeof((a)[0])))

static void some_files(long lo, long hi) {
  const long n = rnd(lo, hi);
  for (long i = 0; i < n; ++i) {
    char name[64];
    snprintf(name, sizeof name, "%ld-%s", i, file_words[rnd(0, COUNT(file_words) - 1)]);
    make_file(name);
  }
}

/* About `budget` directories below the current one, with random fan-out and a few files each;
 * gives the number made, so that what a shallow branch left over goes to its siblings. */
static long grow(long budget, int depth) {
  some_files(0, 3);
  if (budget <= 0 || depth == 0) {
    return 0;
  }
  long n = rnd(1, depth > 3 ? 9 : 4);
  if (n > budget) {
    n = budget;
  }
  long rest = budget - n;
  long made = n;
  for (long i = 0; i < n; ++i) {
    long share = i + 1 == n ? rest : rnd(0, 2 * rest / (n - i));
    if (share > rest) {
      share = rest;
    }
    const size_t saved = enter("%s%ld", dir_words[rnd(0, COUNT(dir_words) - 1)], i);
    const long got = grow(share, depth - 1);
    rest -= got;
    made += got;
    pop(saved);
  }
  return made;
}

/* A dependency or build folder of a plausible shape; the walk must never enter it. */
static void heavy(const char* name, long packages) {
  ++pruned_depth;
  const size_t top = enter("%s", name);
  for (long p = 0; p < packages; ++p) {
    const size_t pkg = enter("pkg-%ld", p);
    some_files(1, 3);
    const long parts = rnd(2, 8);
    for (long k = 0; k < parts; ++k) {
      const size_t part = enter("%s%ld", dir_words[rnd(0, COUNT(dir_words) - 1)], k);
      some_files(0, 3);
      pop(part);
    }
    pop(pkg);
  }
  pop(top);
  --pruned_depth;
}

static const char* const heavy_names[] = {"node_modules", "target",    "vendor", ".venv",
                                          "dist",         ".build",    "Pods",   "DerivedData",
                                          "zig-out",      ".zig-cache"};

/* One project; prints the repositories it holds when `repo` is set. */
static void project(long index, int repo) {
  const size_t saved = push("proj-%ld", index);
  make_dir();
  make_file("README.md");
  const long kind = rnd(0, 9);
  {
    const size_t src = enter("src");
    grow(rnd(60, 220), 7);
    pop(src);
  }
  /* every project carries one heavy folder, JavaScript and Rust ones the biggest */
  heavy(heavy_names[kind], kind < 2 ? rnd(60, 160) : rnd(8, 30));
  if (repo) {
    printf("plain %s\n", path);
  }
  if (repo && (rnd(0, 99) < 15 || index == 0)) { /* a checkout of another project inside this one */
    const size_t ext = enter("external");
    const size_t inner = enter("dep-%ld", index);
    make_file("README.md");
    grow(rnd(20, 60), 5);
    printf("plain %s\n", path);
    pop(inner);
    pop(ext);
  }
  if (repo &&
      (rnd(0, 99) < 12 || index == 0)) { /* a submodule: `.git` is a file pointing into ours */
    const size_t mods = enter("modules");
    const size_t sub = enter("sub-%ld", index);
    make_file("README.md");
    grow(rnd(10, 40), 4);
    char sub_path[sizeof path];
    memcpy(sub_path, path, path_len + 1);
    pop(sub);
    pop(mods);
    printf("sep %s %s/.git/modules/sub-%ld\n", sub_path, path, index);
  }
  if (index % 25 == 0) {
    make_link("..", "up"); /* a loop for anything that follows links */
  }
  pop(saved);
}

static int make_tree(const char* out, double scale) {
  const size_t root_len = strlen(out);
  if (root_len >= sizeof path) {
    return 1;
  }
  memcpy(path, out, root_len + 1);
  path_len = root_len;
  make_dir();
#define SCALED(n) ((long)((double)(n)*scale) + 1)
  struct {
    const char* name;
    long budget;
    int depth;
  } const areas[] = {{"Documents", SCALED(38000), 10}, {".cache", SCALED(18000), 6},
                     {".local", SCALED(9000), 8},      {"Downloads", SCALED(4000), 6},
                     {".config", SCALED(2500), 5},     {"Music", SCALED(3000), 3}};
  for (long a = 0; a < COUNT(areas); ++a) {
    const size_t saved = enter("%s", areas[a].name);
    grow(areas[a].budget, areas[a].depth);
    pop(saved);
  }
  {
    const size_t pics = enter("Pictures");
    for (long y = 2005; y < 2005 + SCALED(20) && y < 2100; ++y) {
      const size_t year = enter("%ld", y);
      for (long m = 1; m <= 12; ++m) {
        const size_t month = enter("%02ld", m);
        some_files(0, 5);
        for (long d = rnd(0, 6); d > 0; --d) {
          const size_t day = enter("day-%ld", d);
          some_files(1, 8);
          pop(day);
        }
        pop(month);
      }
      pop(year);
    }
    pop(pics);
  }
  /* projects, at several depths below a few usual places */
  const char* const bases[] = {"work", "work/clients", "src/github.com", "Documents/code"};
  const long projects = SCALED(360);
  for (long i = 0; i < projects; ++i) {
    const long b = i % COUNT(bases);
    const size_t saved = path_len;
    for (const char* p = bases[b]; *p != '\0';) {
      const char* slash = strchr(p, '/');
      const int len = slash ? (int)(slash - p) : (int)strlen(p);
      push("%.*s", len, p);
      struct stat st;
      if (lstat(path, &st) != 0) {
        make_dir();
      }
      p += len + (slash ? 1 : 0);
    }
    if (b == 1 || b == 2) { /* one more level: the client or the organisation */
      push("group-%ld", i % 7);
      struct stat st;
      if (lstat(path, &st) != 0) {
        make_dir();
      }
    }
    project(i, rnd(0, 99) < 70 || i == 0); /* the first has every kind */
    pop(saved);
  }
  make_link("Documents", "Desktop");
  make_link("work/proj-0", "current");
  {
    const size_t saved = push("%s", ".config");
    make_link(".", "self");
    pop(saved);
  }
  fprintf(stderr, "gentree: %ld directories walked, %ld pruned, %ld files, %ld symlinks\n",
          walked_dirs, pruned_dirs, files, links);
  return 0;
}

static void mkdir_exist_ok(const char* dir) {
  if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
    fprintf(stderr, "gentree: mkdir %s: %s\n", dir, strerror(errno));
    exit(1);
  }
}

static int make_markers(const char* marker_dir, const char* base, long n) {
  if (base[0] != '/') {
    fprintf(stderr, "gentree: REPOBASE must be absolute\n");
    return 1;
  }
  mkdir_exist_ok(base);
  mkdir_exist_ok(marker_dir);
  const time_t now = time(NULL);
  for (long i = 0; i < n; ++i) {
    char repo[4096];
    snprintf(repo, sizeof repo, "%s/team-%ld", base, i % 40);
    mkdir_exist_ok(repo);
    snprintf(repo, sizeof repo, "%s/team-%ld/app-%ld", base, i % 40, i);
    mkdir_exist_ok(repo);
    char marker[8192];
    int len = snprintf(marker, sizeof marker, "%s/", marker_dir);
    for (const char* p = repo; *p != '\0'; ++p) {
      marker[len++] = *p == '/' ? '-' : *p;
    }
    marker[len] = '\0';
    const int fd = open(marker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      fprintf(stderr, "gentree: open %s: %s\n", marker, strerror(errno));
      return 1;
    }
    const struct timespec times[2] = {{now - i * 97, 0}, {now - i * 97, 0}};
    futimens(fd, times);
    close(fd);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "tree") == 0) {
    return make_tree(argv[2], argc >= 4 ? atof(argv[3]) : 1.0);
  }
  if (argc == 5 && strcmp(argv[1], "markers") == 0) {
    return make_markers(argv[2], argv[3], atol(argv[4]));
  }
  fprintf(stderr,
          "usage: gentree tree OUT [SCALE]\n"
          "       gentree markers MARKERDIR REPOBASE N\n");
  return 2;
}
