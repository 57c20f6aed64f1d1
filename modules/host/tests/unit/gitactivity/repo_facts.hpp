#pragma once

#include "gitactivity/facts.hpp"

#include <functional>
#include <string>
#include <system_error>

namespace gitactivity::fixtures {

inline std::error_code os(int code) {
  return {code, std::system_category()};
}

// A plain repository at /w/r with an executable hook of the user's own, its marker directory /m
// and no marker yet; the latest commit at 100.
inline RepoFacts plain_repo() {
  RepoFacts facts;
  facts.root = "/w/r";
  facts.git_common_dir = "/w/r/.git";
  facts.hook.dir = "/w/r/.git/hooks";
  facts.hook.hook = "/w/r/.git/hooks/post-commit";
  facts.hook.dir_exists = true;
  facts.hook.regular = true;
  facts.hook.executable = true;
  facts.hook.in_git_dir = true;
  facts.hook.text = std::optional<std::string>("#!/bin/sh\necho mine\n");
  facts.marker.dir = "/m";
  facts.marker.name = "-w-r";
  facts.marker.path = "/m/-w-r";
  facts.marker.dir_standing = Standing::Directory;
  facts.latest_commit = 100;
  return facts;
}

using Change = std::function<void(RepoFacts&)>;

// A marker already at its name, written at `mtime`; `open_errno` says why this user may not write
// it.
inline Change marker_at(std::int64_t mtime, int open_errno = 0, bool other_links = false) {
  return [=](RepoFacts& f) {
    f.marker.standing = Standing::Regular;
    f.marker.mtime = mtime;
    f.marker.other_links = other_links;
    f.marker.open_error = open_errno == 0 ? std::error_code() : os(open_errno);
  };
}

// The marker directory stands as `standing`, and this user can neither use nor create it.
inline Change marker_dir(Standing standing, int errno_value) {
  return [=](RepoFacts& f) {
    f.marker.dir_standing = standing;
    f.marker.dir_error = os(errno_value);
  };
}

}  // namespace gitactivity::fixtures
