// Starting a sibling program in its own directory, the way the Windows
// shell starts one: the name is given without extension and found in the
// directory in any letter case, the result is the shell's number (above 32
// on success, else one of its error numbers), and the program then runs on
// its own.
#pragma once
#include <functional>
#include <string>

// The shell's results the launch reports.
enum TLaunchResult : int {
  kLaunchOutOfResources = 0,
  kLaunchFileNotFound = 2,
  kLaunchPathNotFound = 3,
  kLaunchAccessDenied = 5,
  kLaunchOutOfMemory = 8,
  kLaunchBadFormat = 11,
  kLaunchSharingViolation = 26,
  kLaunchStarted = 42,  // any value above 32 means started
};

// Starts `launchName` (with ".exe" or as written, found case-insensitively)
// in `dir`, which becomes the child's working directory; the caller's
// current directory is not touched. The child is reaped when it ends.
// REQUIRES: `dir` is a directory path ending in "/".
int LaunchProgram(const std::string& dir, const std::string& launchName);

// Tests replace the launcher; an empty function restores the real one.
using Launcher = std::function<int(const std::string& dir, const std::string& launchName)>;
void SetLauncher(Launcher launcher);

// The file a launch would start: dir + launchName + ".exe", else dir +
// launchName, each found in any letter case; "" when neither exists.
std::string FindLaunchFile(const std::string& dir, const std::string& launchName);

// The message for a failed launch (title "Błąd uruchomienia programu"), or
// "" for a result that shows nothing (success among them).
std::string LaunchErrorText(int result);
