#include "proc/proc.hpp"

#include "clock.hpp"
#include "result.hpp"
#include "temp_files.hpp"
#include "text.hpp"
#include "unique_fd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace proc {
namespace {

using pylon::UniqueFd;

// Locks, in the one order they may be taken: running_mutex(), then the registry of temporary files
// (inside pylon::remove_temp_files). Only the signal forwarder ever holds both, and it holds them
// to the end. There is no lock per child: running_mutex() guards every child's reaped flag too.

// The child's process id with the knowledge of whether it has been reaped. The waiter reaps under
// running_mutex(), and every kill signals only while it is held and the child is not yet reaped,
// so the signal can never reach a process that took over a recycled id.
struct Child {
  explicit Child(pid_t id) : pid(id) {}
  const pid_t pid;
  bool reaped = false;  // guarded by running_mutex()
};

// The children not yet reaped, for the signal forwarder. A child joins while its spawn holds the
// lock, so a signal never falls between the spawn and the joining; it leaves once reaped. Neither
// is ever destroyed: a detached waiter may still reap while the process exits.
std::mutex& running_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::set<std::shared_ptr<Child>>& running() {
  static auto* children = new std::set<std::shared_ptr<Child>>;
  return *children;
}

// The signals that end us and are passed on to the children first.
sigset_t ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : {SIGTERM, SIGHUP, SIGINT}) {
    struct sigaction current {};
    // one we were started with ignoring (nohup, a background job) stays ignored, as for the child
    if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      sigaddset(&set, sig);
    }
  }
  return set;
}

[[noreturn]] void forward_and_end(int sig) {
  running_mutex().lock();  // never unlocked: no child starts, and none is reaped, from here on
  for (const std::shared_ptr<Child>& child : running()) {
    if (!child->reaped) {
      ::kill(child->pid, sig);
    }
  }
  pylon::remove_temp_files();  // an interrupted rewrite leaves no temporary file behind
  ::signal(sig, SIG_DFL);
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, sig);
  ::raise(sig);  // pending while blocked here; the unblock delivers it and we end as killed by it
  ::pthread_sigmask(SIG_UNBLOCK, &just, nullptr);
  std::_Exit(128 + sig);  // not reached
}

// What the waiter hands over: the wait status, or the error of the wait, and the collected bytes.
struct Waited {
  int status = 0;
  std::error_code wait_error;
  std::string out;
  std::string err;
  bool overflowed = false;  // the output passed output_cap and the child was killed
};

// What both captured streams together may hold: a child that writes more is killed rather than
// let it take all our memory.
constexpr std::size_t output_cap = std::size_t{64} << 20;

// Spawn attributes and file actions, destroyed on every way out once made. Each preparation call
// goes through `keep`, which holds on to the first failure: a child started without its
// descriptors or signal defaults would run wrongly, so that failure is reported instead.
class SpawnGuard {
 public:
  SpawnGuard() {
    actions_made_ = keep(::posix_spawn_file_actions_init(&actions));
    attr_made_ = actions_made_ && keep(::posix_spawnattr_init(&attr));
  }
  SpawnGuard(const SpawnGuard&) = delete;
  SpawnGuard& operator=(const SpawnGuard&) = delete;
  SpawnGuard(SpawnGuard&&) = delete;
  SpawnGuard& operator=(SpawnGuard&&) = delete;
  ~SpawnGuard() {
    if (actions_made_) {
      ::posix_spawn_file_actions_destroy(&actions);
    }
    if (attr_made_) {
      ::posix_spawnattr_destroy(&attr);
    }
  }

  // Takes what one posix_spawn* call returned (0, or the error number); true while all succeeded.
  bool keep(int rc) {
    if (rc != 0 && !error) {
      error = std::error_code(rc, std::system_category());
    }
    return !error;
  }
  // Check before the first call: a failed init leaves nothing the later calls may touch.
  bool ready() const { return !error; }

  posix_spawn_file_actions_t actions{};
  posix_spawnattr_t attr{};
  std::error_code error;

 private:
  bool actions_made_ = false;
  bool attr_made_ = false;
};

Result<std::pair<UniqueFd, UniqueFd>, std::error_code> make_pipe() {
  int fds[2];
  if (::pipe(fds) != 0) {
    return Err{pylon::last_os_error()};
  }
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  // our ends must not leak into the child: it sees only what is dup'ed onto 0, 1 and 2
  if (::fcntl(read_end.get(), F_SETFD, FD_CLOEXEC) != 0 ||
      ::fcntl(write_end.get(), F_SETFD, FD_CLOEXEC) != 0) {
    return Err{pylon::last_os_error()};
  }
  return std::pair{std::move(read_end), std::move(write_end)};
}

// The child gets the default SIGPIPE back (we ignore it) and an empty signal mask.
bool set_signal_defaults(SpawnGuard& spawn) {
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t mask;
  sigemptyset(&mask);
  return spawn.ready() && spawn.keep(::posix_spawnattr_setsigdefault(&spawn.attr, &defaults)) &&
         spawn.keep(::posix_spawnattr_setsigmask(&spawn.attr, &mask)) &&
         spawn.keep(::posix_spawnattr_setflags(&spawn.attr,
                                               POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
}

// `environ` without the variables named in `unset`; the strings themselves stay in `environ`.
std::vector<char*> environment_without(std::span<const std::string_view> unset) {
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    const std::string_view name = text.substr(0, text.find('='));
    if (std::find(unset.begin(), unset.end(), name) == unset.end()) {
      envp.push_back(*entry);
    }
  }
  envp.push_back(nullptr);
  return envp;
}

std::atomic<bool> forwarding_wanted{false};

// Started with the first child or the first temporary file, not in main: a run that has neither
// (record in a plain repository, on every commit) spares the thread. Until then no other thread
// exists, so the mask set here is the one every later thread inherits.
void start_forwarder() {
  const sigset_t set = ending_signals();
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
    return;
  }
  try {
    std::thread([set] {
      int sig = 0;
      while (::sigwait(&set, &sig) != 0) {
      }
      forward_and_end(sig);
    }).detach();
  } catch (const std::system_error&) {
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // no forwarding, but the signals still end us
  }
}

void start_forwarder_once() {
  static std::once_flag started;
  std::call_once(started, start_forwarder);
}

Result<std::shared_ptr<Child>, std::error_code> spawn(const std::string& program,
                                                      const std::vector<std::string>& args,
                                                      SpawnGuard& guard, char* const* envp) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  if (!set_signal_defaults(guard)) {
    return Err{guard.error};
  }
  if (forwarding_wanted.load()) {
    start_forwarder_once();
  }
  pid_t pid = 0;
  const std::lock_guard running_lock(running_mutex());
  const int rc =
      ::posix_spawnp(&pid, program.c_str(), &guard.actions, &guard.attr, argv.data(), envp);
  if (rc != 0) {
    return Err{std::error_code(rc, std::system_category())};
  }
  auto child = std::make_shared<Child>(pid);
  running().insert(child);
  return child;
}

// Waits for the child without reaping it, then reaps it under the lock (see Child): the wait is
// over by then, so the reap under it is immediate.
void reap(const std::shared_ptr<Child>& shared, Waited& waited) {
  Child& child = *shared;
  siginfo_t info{};
  for (;;) {
    if (::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT) == 0) {
      break;
    }
    if (errno != EINTR) {
      waited.wait_error = pylon::last_os_error();
      break;
    }
  }
  const std::lock_guard running_lock(running_mutex());
  int status = 0;
  pid_t rc = 0;
  do {
    rc = ::waitpid(child.pid, &status, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0 && !waited.wait_error) {
    waited.wait_error = pylon::last_os_error();
  }
  waited.status = status;
  child.reaped = true;
  running().erase(shared);
}

void kill_child(Child& child) {
  const std::lock_guard running_lock(running_mutex());
  if (!child.reaped) {
    ::kill(child.pid, SIGKILL);
  }
}

// Reads both pipes to their ends at once, so neither can fill up and stall the child. Past
// output_cap it stops, marks the run overflowed and closes both pipes.
void drain(UniqueFd out_fd, UniqueFd err_fd, Waited& waited) {
  struct Stream {
    UniqueFd fd;
    std::string* sink;
  };
  Stream streams[] = {{std::move(out_fd), &waited.out}, {std::move(err_fd), &waited.err}};
  char buf[65536];
  for (;;) {
    pollfd fds[2];
    nfds_t count = 0;
    Stream* polled[2];
    for (Stream& s : streams) {
      if (s.fd) {
        fds[count] = pollfd{s.fd.get(), POLLIN, 0};
        polled[count++] = &s;
      }
    }
    if (count == 0) {
      return;
    }
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;  // cannot happen with valid descriptors; stop reading rather than spin
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) {
        continue;
      }
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        polled[i]->sink->append(buf, static_cast<std::size_t>(n));
        if (waited.out.size() + waited.err.size() > output_cap) {
          waited.overflowed = true;
          return;
        }
      } else if (n == 0 || errno != EINTR) {
        polled[i]->fd.reset();  // end of file, or an error that reading again cannot cure
      }
    }
  }
}

// untrimmed: a path git prints may end in white space of its own
std::string collected(const std::string& bytes) {
  return pylon::lossy_utf8(bytes);
}

Outcome deadline_outcome(const std::string& program, std::uint64_t seconds) {
  return {
      "",
      "`" + program + "` exceeded its " + std::to_string(seconds) + "s deadline and was terminated",
      124, true};
}

Outcome overflow_outcome(const std::string& program) {
  return {"", "`" + program + "` wrote more than 64 MiB and was terminated", -1, false, true};
}

Outcome wait_failed(const std::string& program, const std::error_code& error) {
  return {"",  "waiting for `" + program + "` failed: " + pylon::os_text(error), 127, false, false,
          true};
}

// Hands the child to a waiter thread running `work`, then sleeps on the channel until the work is
// done or the deadline passes. The waiter owns what it touches, so it may outlive this call.
template <class Work>
Outcome supervise(const std::string& program, const std::shared_ptr<Child>& child,
                  std::uint64_t deadline_seconds, bool keep_output, Work work,
                  bool as_bytes = false) {
  const auto deadline = pylon::deadline_after(deadline_seconds);
  std::promise<Waited> promise;
  std::future<Waited> result = promise.get_future();
  try {
    std::thread([child, work = std::move(work), promise = std::move(promise)]() mutable {
      Waited waited;
      work(waited);
      reap(child, waited);
      promise.set_value(std::move(waited));
    }).detach();
  } catch (const std::system_error& e) {
    kill_child(*child);
    Waited ignored;
    reap(child, ignored);
    return wait_failed(program, e.code());
  }

  // time_point::max() is no deadline at all: wait without one
  if (deadline != std::chrono::steady_clock::time_point::max() &&
      result.wait_until(deadline) == std::future_status::timeout) {
    kill_child(*child);
    return deadline_outcome(program, deadline_seconds);
  }
  Waited waited = result.get();
  if (waited.overflowed) {
    return overflow_outcome(program);
  }
  if (waited.wait_error) {
    return wait_failed(program, waited.wait_error);
  }
  Outcome outcome;
  if (keep_output) {
    outcome.stdout = as_bytes ? std::move(waited.out) : collected(waited.out);
    outcome.stderr = collected(waited.err);
  }
  outcome.code = WIFEXITED(waited.status) ? WEXITSTATUS(waited.status) : -1;
  return outcome;
}

}  // namespace

void forward_ending_signals() {
  forwarding_wanted.store(true);
  pylon::set_temp_file_watcher(start_forwarder_once);
}

std::string Outcome::reason() const {
  const std::string_view err = pylon::trim(stderr);
  return std::string(err.empty() ? pylon::trim(stdout) : err);
}

Outcome spawn_failed(const std::string& program, const std::error_code& error) {
  return {"", "could not run `" + program + "`: " + pylon::os_text(error), 127, false, false, true};
}

Outcome capture(const std::string& program, const std::vector<std::string>& args,
                const std::optional<std::filesystem::path>& cwd, std::uint64_t deadline_seconds,
                std::span<const std::string_view> unset_env, bool as_bytes) {
  auto in = make_pipe();
  auto out = make_pipe();
  auto err = make_pipe();
  for (const auto* p : {&in, &out, &err}) {
    if (!*p) {
      return spawn_failed(program, p->error());
    }
  }
  auto& [in_read, in_write] = in.value();
  auto& [out_read, out_write] = out.value();
  auto& [err_read, err_write] = err.value();

  SpawnGuard guard;
  const bool prepared =
      guard.ready() &&
      guard.keep(::posix_spawn_file_actions_adddup2(&guard.actions, in_read.get(), 0)) &&
      guard.keep(::posix_spawn_file_actions_adddup2(&guard.actions, out_write.get(), 1)) &&
      guard.keep(::posix_spawn_file_actions_adddup2(&guard.actions, err_write.get(), 2)) &&
      (!cwd || guard.keep(::posix_spawn_file_actions_addchdir_np(&guard.actions, cwd->c_str())));
  if (!prepared) {
    return spawn_failed(program, guard.error);
  }
  const std::vector<char*> envp =
      unset_env.empty() ? std::vector<char*>{} : environment_without(unset_env);
  auto child = spawn(program, args, guard, envp.empty() ? environ : envp.data());
  // close our copies of the child's ends now: end of file comes only when every writer closed
  in_read.reset();
  out_write.reset();
  err_write.reset();
  in_write.reset();  // the child reads end of file at once
  if (!child) {
    return spawn_failed(program, child.error());
  }
  return supervise(
      program, child.value(), deadline_seconds, true,
      [child = child.value(), out_fd = std::move(out_read),
       err_fd = std::move(err_read)](Waited& waited) mutable {
        drain(std::move(out_fd), std::move(err_fd), waited);
        if (waited.overflowed) {
          kill_child(*child);
        }
      },
      as_bytes);
}

Outcome streaming(const std::string& program, const std::vector<std::string>& args,
                  std::uint64_t deadline_seconds, Output output) {
  std::cout.flush();
  std::fflush(stdout);

  SpawnGuard guard;
  const bool prepared =
      guard.ready() &&
      guard.keep(::posix_spawn_file_actions_addopen(&guard.actions, 0, "/dev/null", O_RDONLY, 0)) &&
      (output != Output::LiveOnStderr ||
       guard.keep(::posix_spawn_file_actions_adddup2(&guard.actions, 2, 1)));
  if (!prepared) {
    return spawn_failed(program, guard.error);
  }
  auto child = spawn(program, args, guard, environ);
  if (!child) {
    return spawn_failed(program, child.error());
  }
  return supervise(program, child.value(), deadline_seconds, false, [](Waited&) {});
}

}  // namespace proc
