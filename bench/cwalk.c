/* The floor for the walk of `enable-all`: a plain single-threaded walk that does what that walk
 * must do and nothing more. Depth first with an explicit stack, readdir, the entry type from the
 * listing (lstat only when the file system does not say), the ten pruned names skipped, `.git`
 * noted and never entered, symbolic links never followed.
 *
 *   cwalk ROOT...   prints the number of repositories found
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static const char* const pruned[] = {"node_modules", "vendor",    "dist", ".build",
                                     "zig-out",      "target",    "Pods", "DerivedData",
                                     ".venv",        ".zig-cache"};

static int is_pruned(const char* name) {
  for (size_t i = 0; i < sizeof pruned / sizeof pruned[0]; ++i) {
    if (strcmp(name, pruned[i]) == 0) {
      return 1;
    }
  }
  return 0;
}

static char** stack;
static size_t depth, capacity;

static void push(char* dir) {
  if (depth == capacity) {
    capacity = capacity ? 2 * capacity : 1024;
    stack = realloc(stack, capacity * sizeof *stack);
    if (stack == NULL) {
      perror("cwalk");
      exit(1);
    }
  }
  stack[depth++] = dir;
}

static char* join(const char* dir, const char* name) {
  const size_t a = strlen(dir), b = strlen(name);
  char* p = malloc(a + b + 2);
  if (p == NULL) {
    perror("cwalk");
    exit(1);
  }
  memcpy(p, dir, a);
  p[a] = '/';
  memcpy(p + a + 1, name, b + 1);
  return p;
}

int main(int argc, char** argv) {
  long found = 0;
  for (int i = 1; i < argc; ++i) {
    push(strdup(argv[i]));
    while (depth > 0) {
      char* dir = stack[--depth];
      DIR* d = opendir(dir);
      if (d == NULL) {
        free(dir);
        continue;
      }
      const struct dirent* e;
      while ((e = readdir(d)) != NULL) {
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
          continue;
        }
        if (strcmp(name, ".git") == 0) {
          ++found;
          continue;
        }
        if (is_pruned(name)) {
          continue;
        }
        int is_dir = e->d_type == DT_DIR;
        char* child = NULL;
        if (e->d_type == DT_UNKNOWN) {
          struct stat st;
          child = join(dir, name);
          is_dir = lstat(child, &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (is_dir) {
          push(child != NULL ? child : join(dir, name));
        } else {
          free(child);
        }
      }
      closedir(d);
      free(dir);
    }
  }
  printf("%ld\n", found);
  return 0;
}
