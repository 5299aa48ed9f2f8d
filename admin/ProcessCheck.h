// Is a program with a given executable name running on this machine, under
// any user? The answer comes from a moment's picture of the process list
// (/proc); no windows or lock files are looked at.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What the process list tells about one live process: the names it may be
// known by. A program run by a Windows compatibility layer is known by its
// argv[0] ("C:\PROGRAMY\RUV\RUV_TM.EXE"), a native one by its executable.
struct TProcessNames {
  std::string ExeLink;  // target of /proc/<pid>/exe ("" when unreadable)
  std::string Argv0;    // first argument as the process was started
  std::string Comm;     // kernel's task name, at most 15 characters
};

// The live processes (exited but unreaped ones left out). Tests replace the
// lister; an empty function restores the /proc scan.
using ProcessLister = std::function<std::vector<TProcessNames>()>;
std::vector<TProcessNames> ListProcesses();
// The names of one process, as the /proc scan reads them; nothing when the
// process is gone or has exited and waits to be reaped.
std::optional<TProcessNames> ReadProcessNames(int pid);
void SetProcessLister(ProcessLister lister);

// True when a process is known by ExeName: the file-name part of its
// executable link, or of its argv[0] split on "/", "\" and ":", or its
// whole argv[0], or its task name when that is shorter than 15 characters
// (a longer one may be cut), equals ExeName with ASCII letters compared
// without case. "Ruv_TM" does not match "RUV_TM.EXE".
bool IsProgramRunning(const std::string& ExeName);

// The first of the executables that runs, in the order given; "" if none.
std::string FirstRunning(const std::vector<std::string>& exeNames);
