// A child process with file systems mounted for it alone, for what only a
// real mount shows (a read-only file system, a disk of several terabytes).
// Mounting needs root; a chroot or a container may refuse it even then.
#pragma once
#include <sched.h>
#include <sys/mount.h>

#include <functional>
#include <string>

#include "testutil/tempdir.h"

// Exit statuses of a child that could not mount what it needed.
enum OwnMountsRefusal { kNoMountNamespace = 90, kRootNotAMountPoint = 91, kMountRefused = 92 };

// Runs `body` in a forked child that has a mount namespace of its own in
// which nothing is shared, so its mounts reach no other process, and
// returns the child's exit status. `body` returns kMountRefused when a
// mount of its own fails.
inline int InChildWithOwnMounts(const std::function<int()>& body) {
  return InChild([&] {
    if (unshare(CLONE_NEWNS) != 0) return int(kNoMountNamespace);
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return int(kRootNotAMountPoint);
    return body();
  });
}

// Why the child of InChildWithOwnMounts could not mount what it needed;
// empty when `status` is the body's own result.
inline std::string OwnMountsRefused(int status) {
  switch (status) {
    case kNoMountNamespace: return "a child cannot have a mount namespace of its own here (unshare refused)";
    case kRootNotAMountPoint:
      return "\"/\" is not a mount point here (a chroot), so the child's mounts cannot be kept from other processes";
    case kMountRefused: return "tmpfs cannot be mounted here";
    default: return "";
  }
}
