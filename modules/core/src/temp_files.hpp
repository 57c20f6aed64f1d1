#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace pylon {

// A temporary file of an atomic rewrite, registered from its creation until this guard dies, so
// that a signal ending the program in between can remove it (remove_temp_files).
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  TempFile(TempFile&&) = delete;
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile();  // drops the registration; renaming or removing the file stays the owner's job

  // Runs `make` (an exclusive create of `path`: a descriptor, or -1 with errno set) under the
  // registry's lock and registers the path when it made the file, so that the removal sees the
  // file either not yet made or registered. One file per guard; errno is left as `make` set it.
  int create(const std::filesystem::path& path, const std::function<int()>& make);

 private:
  std::string registered_;
};

// Called before every registration, outside the registry's lock: the program starts its signal
// handling there (once), so that a registered file never goes unwatched.
void set_temp_file_watcher(void (*watch)());

// Removes every registered file and keeps the registry locked for good, so none is made after:
// for the way out on an ending signal only.
void remove_temp_files();

}  // namespace pylon
