// Test helpers of the ZIP and FTP component tests, beside the shared ones
// of admin_test_util.h: test data, directory listings, and outside
// programs (unzip, Python) run to completion with their output.
#pragma once
#include <string>
#include <vector>

#include "admin/admin_test_util.h"

namespace testutil {

// Names in a directory, sorted.
std::vector<std::string> ListDir(const std::string& dir);
// Bytes that deflate well / not at all.
std::string TextBytes(size_t n, unsigned seed);
std::string RandomBytes(size_t n, unsigned seed);

struct RunResult {
  int status = -1;  // exit status, or -1
  std::string out;  // stdout and stderr together
};
// Runs a program with arguments (no shell) and collects its output.
RunResult Run(const std::vector<std::string>& argv);
// Runs a Python script with Debian's interpreter (which sees the python3-*
// packages).
RunResult RunPython(const std::string& script, const std::vector<std::string>& args);

// Runs tests/helpers/admin_helper with these arguments to its end.
RunResult RunAdminHelper(const std::vector<std::string>& args);
// Of the file changes an admin_helper run printed, the number (from 1) of
// the first one of kind `op` on a path holding `pathPart`; 0 when none.
int FirstChange(const std::string& out, const std::string& op, const std::string& pathPart);

}  // namespace testutil
