/* The floor for the walk of `enable-all`: a plain single-threaded walk that does what that walk
 * must do and nothing more. Depth first with an explicit stack, readdir, the entry type from the
 * listing (lstat only when the file system does not say), the pruned names skipped (the program's
 * own list), `.git` noted and never entered, symbolic links never followed. With --git, the floor
 * for the whole of `enable-all`: each repository found is asked the three questions of enabling
 * one by three `git` runs, started with posix_spawnp and read to the end.
 *
 *   cwalk [--git] ROOT...   prints the number of repositories found
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static const char* const pruned[] = {
#include "../modules/host/src/gitactivity/pruned_names.inc"
};

/* Runs git -C DIR ARGS... with both outputs on a pipe read to the end; exits on a failed start. */
static void git(const char* dir, const char* a, const char* b, const char* c) {
  int fds[2];
  if (pipe(fds) != 0) {
    perror("cwalk");
    exit(1);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  char* argv[] = {"git", "-C", (char*)dir, (char*)a, (char*)b, (char*)c, NULL};
  pid_t pid;
  if (posix_spawnp(&pid, "git", &actions, NULL, argv, environ) != 0) {
    perror("cwalk: git");
    exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  char buf[4096];
  while (read(fds[0], buf, sizeof buf) > 0) {
  }
  close(fds[0]);
  int status;
  waitpid(pid, &status, 0);
}

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
  const int ask_git = argc > 1 && strcmp(argv[1], "--git") == 0;
  for (int i = 1 + ask_git; i < argc; ++i) {
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
          if (ask_git) {
            git(dir, "rev-parse", "--show-toplevel", NULL);
            git(dir, "rev-parse", "--git-path", "hooks");
            git(dir, "log", "-1", "--format=%ct");
          }
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
