#include "temp_files.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>

namespace pylon {
namespace {

// Taken after the host's running-children lock when both are held (by the signal forwarder only).
// Never destroyed: the forwarder may still hold it while the process exits.
std::mutex& registry_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::set<std::string>& registry() {
  static auto* paths = new std::set<std::string>;
  return *paths;
}

std::atomic<void (*)()> watcher{nullptr};

}  // namespace

TempFile::~TempFile() {
  if (registered_.empty()) {
    return;
  }
  const std::lock_guard lock(registry_mutex());
  registry().erase(registered_);
}

int TempFile::create(const std::filesystem::path& path, const std::function<int()>& make) {
  if (auto* watch = watcher.load()) {
    watch();
  }
  const std::lock_guard lock(registry_mutex());
  const int fd = make();
  if (fd >= 0 && registered_.empty()) {
    const int saved = errno;
    registered_ = path.string();
    registry().insert(registered_);
    errno = saved;
  }
  return fd;
}

void set_temp_file_watcher(void (*watch)()) {
  watcher.store(watch);
}

void remove_temp_files() {
  registry_mutex().lock();  // never unlocked: the process is on its way out
  for (const std::string& path : registry()) {
    ::unlink(path.c_str());
  }
}

}  // namespace pylon
