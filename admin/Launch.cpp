#include "admin/Launch.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <thread>

#include "platform/pfs.h"

extern char** environ;

namespace {

Launcher& CustomLauncher() {
  static Launcher launcher;
  return launcher;
}

int ResultFromErrno(int err) {
  switch (err) {
    case ENOENT:
      return kLaunchFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kLaunchPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kLaunchAccessDenied;
    case ENOMEM:
    case E2BIG:
      return kLaunchOutOfMemory;
    case ENOEXEC:
    case ELIBBAD:
      return kLaunchBadFormat;
    case ETXTBSY:
      return kLaunchSharingViolation;
    default:
      return kLaunchOutOfResources;
  }
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// posix_spawn attributes as RAII, so every way out destroys them.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

int RealLaunch(const std::string& dir, const std::string& launchName) {
  std::string file = FindLaunchFile(dir, launchName);
  if (file.empty()) return kLaunchFileNotFound;
  SpawnSetup s;
  if (int rc = posix_spawn_file_actions_addchdir_np(&s.actions, dir.c_str())) return ResultFromErrno(rc);
  // The started program runs on its own: a session of its own, default
  // signal handling and nothing blocked, whatever this process has set.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&s.attr, &none);
  posix_spawnattr_setsigdefault(&s.attr, &all);
  posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
  char* argv[] = {file.data(), nullptr};
  pid_t pid = 0;
  if (int rc = posix_spawn(&pid, file.c_str(), &s.actions, &s.attr, argv, environ)) return ResultFromErrno(rc);
  // The launcher does not wait for the program, but reaps it when it ends
  // so that no exited child lingers in the process list.
  std::thread([pid] {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return kLaunchStarted;
}

}  // namespace

std::string FindLaunchFile(const std::string& dir, const std::string& launchName) {
  for (const std::string& name : {launchName + ".exe", launchName}) {
    std::string path = plat::ResolvePath(dir + name);
    if (Exists(path)) return path;
  }
  return std::string();
}

int LaunchProgram(const std::string& dir, const std::string& launchName) {
  if (CustomLauncher()) return CustomLauncher()(dir, launchName);
  return RealLaunch(dir, launchName);
}

void SetLauncher(Launcher launcher) { CustomLauncher() = std::move(launcher); }

std::string LaunchErrorText(int result) {
  switch (result) {
    case 0:
      return "Za mało pamieci operacyjnej lub zasobów systemowych dla uruchomienia programu";
    case 2:
      return "Plik programu nie został odnaleziony";
    case 3:
      return "Brak pliku programu w podanym katalogu ";
    case 5:
      return "Błąd dostępu do programu";
    case 8:
      return "Za mało pamięci dla zakończenia operacji";
    case 11:
      return "Plik programu jest uszkodzony.";
    case 26:
      return "Błąd współdzielenia pliku";
    default:
      return std::string();
  }
}
