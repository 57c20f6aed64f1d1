/* The floor for `record`: one process start plus the one git query, nothing else. Starts
 * PROGRAM with posix_spawnp, reads its standard output to the end and waits for it; with
 * --thread, a second thread does the reading and waiting and hands the result over, as the
 * process runner of pylon-host does so that it can give up at a deadline.
 *
 *   spawn [--thread] PROGRAM ARG...
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static int out_fd;
static pid_t child;
static int status = -1;
static int done;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t finished = PTHREAD_COND_INITIALIZER;

static void* drain_and_wait(void* unused) {
  char buf[4096];
  while (read(out_fd, buf, sizeof buf) > 0) {
  }
  int st = 0;
  waitpid(child, &st, 0);
  pthread_mutex_lock(&lock);
  status = WIFEXITED(st) ? WEXITSTATUS(st) : 1;
  done = 1;
  pthread_cond_signal(&finished);
  pthread_mutex_unlock(&lock);
  return unused;
}

int main(int argc, char** argv) {
  const int threaded = argc > 1 && strcmp(argv[1], "--thread") == 0;
  char** command = argv + 1 + threaded;
  if (command[0] == NULL) {
    return 2;
  }
  int out[2];
  if (pipe(out) != 0) {
    return 1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  if (posix_spawnp(&child, command[0], &actions, NULL, command, environ) != 0) {
    return 127;
  }
  close(out[1]);
  out_fd = out[0];
  if (!threaded) {
    drain_and_wait(NULL);
    return status;
  }
  pthread_t waiter;
  if (pthread_create(&waiter, NULL, drain_and_wait, NULL) != 0) {
    return 1;
  }
  pthread_detach(waiter);
  pthread_mutex_lock(&lock);
  while (!done) {
    pthread_cond_wait(&finished, &lock);
  }
  pthread_mutex_unlock(&lock);
  return status;
}
