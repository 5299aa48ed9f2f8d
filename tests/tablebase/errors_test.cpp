#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "tablebase/tzutils.h"

namespace {

class ErrorsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetEngineState(); }
  void TearDown() override { ResetEngineState(); }
};

TEST_F(ErrorsTest, ErrorTextTable) {
  struct Case {
    uint16_t code;
    const char* text;
  } cases[] = {
      {0, ""},
      {215, "Error # 215 (No database in use)"},
      {7, "Error # 7 (Undefined error)"},
      {1203, "Error # 1203 (Network Error)"},
      {1250, "Error # 1250 (Network Error)"},
      {1299, "Error # 1299 (Network Error)"},
      {1300, "Error # 1300 (File format not supported)"},
      {65535, "Error # 65535 (Undefined error)"},
      {227, "Error # 227 (Insufficient disk space )"},
      {1103, "Error # 1103 (Invalid Operation )"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorText(c.code), c.text) << c.code;
  EXPECT_EQ(ErrorCodeText(4), ErrorCodeText(18));
  EXPECT_EQ(ErrorCodeText(14), ErrorCodeText(151));
  EXPECT_EQ(ErrorCodeText(32), ErrorCodeText(162));
}

TEST_F(ErrorsTest, RecordOnlyWhenAutomaticHandlingIsOff) {
  EXPECT_TRUE(SetAutoErrorHandling(false));
  SetError(215, "No database in use [Test]");
  EXPECT_EQ(LastErrorCode(), 215);
  EXPECT_EQ(LastErrorText(), "Error # 215 (No database in use)\r\nNo database in use [Test]");
  EXPECT_EQ(LastErrorText(), "");
  EXPECT_EQ(LastErrorCode(), 215);
  EXPECT_FALSE(SetAutoErrorHandling(true));
}

TEST_F(ErrorsTest, ZeroCodeWithAutomaticHandlingShowsNothing) {
  SetError(0, "nothing");
  EXPECT_EQ(LastErrorCode(), 0);
}

TEST_F(ErrorsTest, RaisesEZavivErrorWhenRaisingIsOn) {
  ErrorRaisesScope raises(true);
  try {
    SetError(220, "x");
    FAIL() << "no exception";
  } catch (const EZavivError& e) {
    EXPECT_STREQ(e.what(), "Error # 220 (Invalid parameter)\r\nx");
  }
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(LastErrorText(), "");
}

TEST_F(ErrorsTest, FreeMemOfNullIsError9) {
  AutoErrorHandlingScope off(false);
  void* p = nullptr;
  FreeMem(p, 10);
  EXPECT_EQ(LastErrorCode(), 9);
  EXPECT_EQ(TakeLastErrorMessage(), "Attempt to free NIL pointer [FreeMem()]");
  GetMem(p, 100);
  ASSERT_NE(p, nullptr);
  FreeMem(p, 100);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(MaxAvail(), 0x7FFFFFFF);
}

// A halting error ends the process: run it in a child and read its exit
// status and what it wrote to stderr.
struct ChildResult {
  int status;
  std::string err;
};

ChildResult RunHalting(uint16_t code) {
  int pipefd[2];
  EXPECT_EQ(pipe(pipefd), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], 2);
    close(pipefd[0]);
    SetError(code, "Halting now [Test]");
    _exit(100);  // not reached
  }
  close(pipefd[1]);
  std::string err;
  std::array<char, 512> buf;
  ssize_t n;
  while ((n = read(pipefd[0], buf.data(), buf.size())) > 0) err.append(buf.data(), size_t(n));
  close(pipefd[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, err};
}

TEST_F(ErrorsTest, HaltingErrorEndsTheProcessWithItsCode) {
  auto r = RunHalting(215);
  EXPECT_EQ(r.status, 215);
  EXPECT_NE(r.err.find("Program halted."), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Error # 215 (No database in use)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Halting now [Test]"), std::string::npos) << r.err;
}

TEST_F(ErrorsTest, HaltingCodeBeyond255ExitsWith255) {
  EXPECT_EQ(RunHalting(1280).status, 255);
  EXPECT_EQ(RunHalting(256).status, 255);
}

}  // namespace
