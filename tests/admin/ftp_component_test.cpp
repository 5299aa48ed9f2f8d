// The FTP component against a real server (pyftpdlib on 127.0.0.1): both
// data-connection modes on one control connection, sizes and dates, and
// the failures the windows report.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "admin/FtpComponent.h"
#include "admin/archive_test_util.h"
#include "admin/ftp_test_server.h"
#include "platform/pfile.h"
#include "platform/pfs.h"
#include "testutil/helper_child.h"

using namespace testutil;

namespace {

struct Events {
  std::vector<TIdStatus> status;
  std::vector<std::pair<TWorkMode, int64_t>> work;
  void Bind(TIdFTP& ftp) {
    ftp.OnStatus = [this](TIdStatus s, const std::string&) { status.push_back(s); };
    ftp.OnWork = [this](TWorkMode m, int64_t n) { work.emplace_back(m, n); };
  }
  int Count(TIdStatus s) const { return int(std::count(status.begin(), status.end(), s)); }
};

int CountOf(const std::vector<std::string>& v, const std::string& s) { return int(std::count(v.begin(), v.end(), s)); }

void PointAt(TIdFTP& ftp, int port, const std::string& user, const std::string& password) {
  ftp.Host = "127.0.0.1";
  ftp.Port = port;
  ftp.Username = user;
  ftp.Password = password;
}

class FtpModes : public ::testing::TestWithParam<bool> {};

// The EIdFTPError `op` raises; `fault` says what succeeded when it raises
// none, and the test fails.
EIdFTPError RaisedBy(const char* fault, const std::function<void()>& op) {
  try {
    op();
  } catch (const EIdFTPError& e) {
    return e;
  }
  ADD_FAILURE() << fault;
  return EIdFTPError("", 0);
}

}  // namespace

TEST(FtpComponent, DefaultsAreTheProgramsServers) {
  TIdFTP ftp;
  EXPECT_EQ(ftp.Port, 21);
  EXPECT_FALSE(ftp.Passive);
  EXPECT_FALSE(ftp.Connected());
  ftp.SetAccount(kBackupFtpAccount);
  EXPECT_EQ(ftp.Username, "velmosoft_ftp");
  EXPECT_EQ(ftp.Password.size(), 10u);
  EXPECT_EQ(ftp.Port, 21);
  ftp.SetAccount(kUpdateFtpAccount);
  EXPECT_EQ(ftp.Username, "velmosoft_ftp_aktualizacje");
  EXPECT_EQ(ftp.Password.size(), 8u);
  EXPECT_THROW(ftp.Size("RuvTM.zip"), EIdFTPError);
}

TEST_P(FtpModes, SeveralTransfersShareOneConnection) {
  const bool passive = GetParam();
  FtpTestServer server({FtpTestServer::Account{"kopie", "haslo123"}});
  ASSERT_TRUE(server.Started());
  TempDir local;
  const std::string a = RandomBytes(300000, 11), b = RandomBytes(70001, 12);
  WriteFile(local / "a.zip", a);
  WriteFile(local / "b.zip", b);

  TIdFTP ftp;
  Events ev;
  ev.Bind(ftp);
  PointAt(ftp, server.Port(), "kopie", "haslo123");
  ftp.Passive = passive;
  const auto start = std::chrono::steady_clock::now();
  ftp.Connect();
  ASSERT_TRUE(ftp.Connected());
  ftp.Put(local / "a.zip", "2011_03_05_Admin_kopia_danych_ruv.zip", true);
  ftp.Put(local / "b.zip", "2011_03_05_Admin_kopia_danych_morta.zip", true);
  ftp.Put(local / "a.zip", "2011_03_05_Admin_kopia_danych_ruv.zip", true);  // appended to the first
  EXPECT_EQ(ftp.Size("2011_03_05_Admin_kopia_danych_ruv.zip"), 600000);
  EXPECT_EQ(ftp.Size("brak.zip"), -1);
  ASSERT_EQ(plat::SetFileModTime(server.Home("kopie") + "2011_03_05_Admin_kopia_danych_morta.zip", 1300000000), 0);
  EXPECT_EQ(ftp.FileDate("2011_03_05_Admin_kopia_danych_morta.zip"), 1300000000);
  EXPECT_EQ(ftp.FileDate("brak.zip"), kFtpZeroDateTime);
  ftp.Get("2011_03_05_Admin_kopia_danych_morta.zip", local / "pobrany.zip", true);
  ftp.Disconnect();
  // A data connection that waited for a poll timeout would add a second
  // per transfer; nine requests take far less than that together.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_FALSE(ftp.Connected());

  EXPECT_TRUE(ReadFile(server.Home("kopie") + "2011_03_05_Admin_kopia_danych_ruv.zip") == a + a);
  EXPECT_TRUE(ReadFile(server.Home("kopie") + "2011_03_05_Admin_kopia_danych_morta.zip") == b);
  EXPECT_TRUE(ReadFile(local / "pobrany.zip") == b);

  const auto cmds = server.Commands();
  EXPECT_EQ(CountOf(cmds, "USER"), 1) << server.Log();
  EXPECT_EQ(CountOf(cmds, "APPE"), 3);
  EXPECT_EQ(CountOf(cmds, "RETR"), 1);
  EXPECT_EQ(CountOf(cmds, "QUIT"), 1);
  const int passiveCmds = CountOf(cmds, "EPSV") + CountOf(cmds, "PASV");
  const int activeCmds = CountOf(cmds, "EPRT") + CountOf(cmds, "PORT");
  if (passive) {
    EXPECT_EQ(passiveCmds, 4);
    EXPECT_EQ(activeCmds, 0);
  } else {
    EXPECT_EQ(activeCmds, 4);
    EXPECT_EQ(passiveCmds, 0);
  }

  const std::vector<TIdStatus> opening = {hsResolving, hsConnecting, hsConnected, hsStatusText};
  ASSERT_GE(ev.status.size(), 6u);
  EXPECT_EQ(std::vector<TIdStatus>(ev.status.begin(), ev.status.begin() + 4), opening);
  EXPECT_EQ(ev.Count(hsConnected), 1);
  EXPECT_EQ(ev.Count(ftpTransfer), 4);
  EXPECT_EQ(ev.Count(ftpReady), 4);
  EXPECT_EQ(ev.Count(ftpAborted), 0);
  EXPECT_EQ(ev.status[ev.status.size() - 2], hsDisconnecting);
  EXPECT_EQ(ev.status.back(), hsDisconnected);

  // Byte counts rise to each file's size.
  int64_t lastWrite = -1, lastRead = -1;
  for (auto& [mode, n] : ev.work) {
    if (mode == wmRead) {
      EXPECT_GE(n, lastRead);
      lastRead = n;
    } else {
      lastWrite = n;
    }
  }
  EXPECT_EQ(lastRead, int64_t(b.size()));
  EXPECT_EQ(lastWrite, int64_t(a.size()));
}

TEST_P(FtpModes, NoTransferStallsOnTheReusedConnection) {
  FtpTestServer server({FtpTestServer::Account{"kopie", "haslo123"}});
  ASSERT_TRUE(server.Started());
  TempDir local;
  const std::string big = RandomBytes(4 << 20, 31);
  WriteFile(local / "duzy.zip", big);
  WriteFile(server.Home("kopie") + "duzy.zip", big);
  TIdFTP ftp;
  PointAt(ftp, server.Port(), "kopie", "haslo123");
  ftp.Passive = GetParam();
  ftp.Connect();
  // A data connection the client forgets to wait on costs a whole second
  // (seen after large transfers); a loopback transfer of 4 MB takes a few
  // milliseconds.
  auto slowest = std::chrono::steady_clock::duration::zero();
  for (int round = 0; round < 6; ++round) {
    auto t0 = std::chrono::steady_clock::now();
    ftp.Get("duzy.zip", local / "pobrany.zip", true);
    auto t1 = std::chrono::steady_clock::now();
    ftp.Put(local / "duzy.zip", "wyslany.zip", false);
    auto t2 = std::chrono::steady_clock::now();
    slowest = std::max({slowest, t1 - t0, t2 - t1});
  }
  ftp.Disconnect();
  EXPECT_LT(slowest, std::chrono::milliseconds(800));
  EXPECT_EQ(CountOf(server.Commands(), "USER"), 1);
  EXPECT_EQ(CountOf(server.Commands(), "STOR"), 6);
  EXPECT_TRUE(ReadFile(server.Home("kopie") + "wyslany.zip") == big);
}

INSTANTIATE_TEST_SUITE_P(PassiveAndActive, FtpModes, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

TEST(FtpComponent, DirectoriesAndMissingFiles) {
  FtpTestServer::Faults lyingSize;
  lyingSize.sizeFile = "RuvSL.zip";
  lyingSize.sizeReply = 5;
  FtpTestServer server({FtpTestServer::Account{"aktualizacje", "akt5wzq8"}}, lyingSize);
  ASSERT_TRUE(server.Started());
  const std::string updates = server.Home("aktualizacje") + "aktualizacje/";
  const std::string archive = RandomBytes(120000, 21);
  WriteFile(updates + "RuvTM.zip", archive);
  TempDir local;
  WriteFile(local / "RUVTM.ZIP", "stara wersja");  // replaced, no second copy beside it
  WriteFile(local / "Mrt.zip", "zostaje");

  TIdFTP ftp;
  Events ev;
  ev.Bind(ftp);
  PointAt(ftp, server.Port(), "aktualizacje", "akt5wzq8");
  ftp.Passive = true;
  ftp.Connect();
  ftp.ChangeDir("/aktualizacje");
  EXPECT_THROW(ftp.ChangeDir("/brak"), EIdFTPError);
  EXPECT_EQ(ftp.Size("RuvTM.zip"), 120000);  // still in "/aktualizacje"
  ftp.Get("RuvTM.zip", local / "RuvTM.zip", true);
  EXPECT_EQ(ListDir(local.dir()), (std::vector<std::string>{"Mrt.zip", "RUVTM.ZIP"}));
  EXPECT_TRUE(ReadFile(local / "RUVTM.ZIP") == archive);
  EXPECT_THROW(ftp.Get("RuvTM.zip", local / "ruvtm.zip", false), EIdFTPError);

  const EIdFTPError e = RaisedBy("a missing file downloaded", [&] { ftp.Get("Mrt.zip", local / "Mrt.zip", true); });
  EXPECT_EQ(e.ReplyCode, 550);
  EXPECT_NE(std::string(e.what()).find("Mrt.zip"), std::string::npos) << e.what();
  EXPECT_EQ(ReadFile(local / "Mrt.zip"), "zostaje");
  EXPECT_EQ(ListDir(local.dir()), (std::vector<std::string>{"Mrt.zip", "RUVTM.ZIP"}));
  EXPECT_EQ(ev.Count(ftpAborted), 0);

  EXPECT_THROW(ftp.Put(local / "brak.txt", "pobranie.txt", true), EIdFTPError);
  ftp.ChangeDir("/");
  WriteFile(local / "pobranie.txt", "07.12.2026 , 10:00:00  - Kraków");
  ftp.Put(local / "pobranie.txt", "pobranie.txt", true);
  EXPECT_EQ(ReadFile(server.Home("aktualizacje") + "pobranie.txt"), "07.12.2026 , 10:00:00  - Kraków");
  // A download is whole whatever the server's SIZE reply says.
  WriteFile(server.Home("aktualizacje") + "RuvSL.zip", "18 bajtow archiwum");
  EXPECT_EQ(ftp.Size("RuvSL.zip"), 5);
  ftp.Get("RuvSL.zip", local / "RuvSL.zip", true);
  EXPECT_EQ(ReadFile(local / "RuvSL.zip"), "18 bajtow archiwum");
  ftp.Disconnect();
  EXPECT_EQ(CountOf(server.Commands(), "USER"), 1);
}

TEST(FtpComponent, LocalWriteFailureKeepsTheEarlierFile) {
  FtpTestServer server({FtpTestServer::Account{"aktualizacje", "akt5wzq8"}});
  ASSERT_TRUE(server.Started());
  WriteFile(server.Home("aktualizacje") + "RuvSL.zip", RandomBytes(500000, 41));
  TempDir local;
  WriteFile(local / "RuvSL.zip", "poprzednia");
  // The disk fills part-way through the download.
  plat::SetFileFaultHook([](plat::FileOp op, const std::string& path, uint64_t bytes) {
    return op == plat::FileOp::Write && path.find(".~ftp") != std::string::npos && bytes > 100000
               ? int(plat::kErrDiskFull)
               : 0;
  });
  TIdFTP ftp;
  Events ev;
  ev.Bind(ftp);
  PointAt(ftp, server.Port(), "aktualizacje", "akt5wzq8");
  ftp.Connect();
  const EIdFTPError e =
      RaisedBy("a failed write reported as a download", [&] { ftp.Get("RuvSL.zip", local / "RuvSL.zip", true); });
  EXPECT_NE(std::string(e.what()).find("brak miejsca"), std::string::npos) << e.what();
  plat::SetFileFaultHook(nullptr);
  EXPECT_EQ(ev.Count(ftpTransfer), 1);
  EXPECT_EQ(ev.Count(ftpAborted), 1);
  EXPECT_EQ(ListDir(local.dir()), (std::vector<std::string>{"RuvSL.zip"}));
  EXPECT_EQ(ReadFile(local / "RuvSL.zip"), "poprzednia");
  // The component goes on working after the aborted transfer.
  EXPECT_EQ(ftp.Size("RuvSL.zip"), 500000);
  ftp.Get("RuvSL.zip", local / "RuvSL.zip", true);
  EXPECT_EQ(ReadFile(local / "RuvSL.zip").size(), 500000u);
}

// A download that died with its program leaves its temporary file; the
// next download into that directory removes it. The one of a download
// still running stays, also when another program's clean-up comes at any
// step of that download, and so does every file of another name.
TEST(FtpComponent, TemporaryFilesOfDownloadsThatDiedGoWithTheNextDownload) {
  FtpTestServer server({FtpTestServer::Account{"aktualizacje", "akt5wzq8"}});
  ASSERT_TRUE(server.Started());
  WriteFile(server.Home("aktualizacje") + "RuvTM.zip", RandomBytes(300000, 51));
  WriteFile(server.Home("aktualizacje") + "RuvSL.zip", RandomBytes(300000, 52));
  TempDir local;
  const auto download = [&](const std::string& file, const char* stop, const char* k) {
    return std::vector<std::string>{"download", std::to_string(server.Port()), "aktualizacje", "akt5wzq8",
                                    file, local / file, stop, k};
  };
  const auto temporaries = [&] {
    std::vector<std::string> names = ListDir(local.dir());
    std::erase_if(names, [](const std::string& n) { return !n.starts_with(".~ftp"); });
    return names;
  };
  HelperChild running("admin_helper", download("RuvSL.zip", "hold", "2"));  // at its first write
  std::string line;
  while (!(line = running.ReadLine()).empty() && line != "held") {
  }
  ASSERT_EQ(line, "held");
  const std::vector<std::string> live = temporaries();
  ASSERT_EQ(live.size(), 1u);
  const RunResult killed = RunAdminHelper(download("RuvTM.zip", "kill", "3"));
  ASSERT_EQ(killed.status, 3) << killed.out;
  std::vector<std::string> left = temporaries();
  ASSERT_EQ(left.size(), 2u);
  std::erase(left, live.front());
  EXPECT_GT(std::filesystem::file_size(local / left.front()), 0u);
  WriteFile(local / ".~zip1A2B.TMP", "rozpakowywany");
  std::vector<std::string> expected{".~zip1A2B.TMP", "kopia.~ftp1A2B.TMP", ".~FTPabcd.tmp", ".~ftp1a2b.TMP",
                                    ".~ftp1A2B.tmp", ".~ftpWXYZ.TMP"};
  for (const std::string& name : expected) WriteFile(local / name, "obcy");

  TIdFTP ftp;
  PointAt(ftp, server.Port(), "aktualizacje", "akt5wzq8");
  ftp.Connect();
  expected.push_back("RuvTM.zip");
  expected.push_back(live.front());
  std::sort(expected.begin(), expected.end());
  // Another program's clean-up at each step of this download on its file:
  // among them just after the file is there and just before its rename.
  // The second time the unnamed file cannot be named (no /proc, and no
  // right to link by descriptor), and a named one takes its place.
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named temporary" : "unnamed temporary");
    std::vector<plat::FileOp> cleanedAt;
    plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t bytes) {
      if (path.find("/.~ftp") == std::string::npos || op == plat::FileOp::Erase ||
          (op == plat::FileOp::Write && bytes != 0))
        return 0;
      cleanedAt.push_back(op);
      EXPECT_EQ(RunAdminHelper({"leftovers", local.dir()}).status, 0);
      return named && op == plat::FileOp::Link ? int(plat::kErrFileNotFound) : 0;
    });
    EXPECT_NO_THROW(ftp.Get("RuvTM.zip", local / "RuvTM.zip", true));
    plat::SetFileFaultHook(nullptr);
    EXPECT_EQ(std::count(cleanedAt.begin(), cleanedAt.end(), plat::FileOp::Rename), 1);
    EXPECT_EQ(std::filesystem::file_size(local / "RuvTM.zip"), 300000u);
    EXPECT_EQ(ListDir(local.dir()), expected);
  }
  running.Release();
  EXPECT_EQ(running.Wait(), 0);
  std::replace(expected.begin(), expected.end(), live.front(), std::string("RuvSL.zip"));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListDir(local.dir()), expected);
  EXPECT_EQ(std::filesystem::file_size(local / "RuvSL.zip"), 300000u);
}

TEST(FtpComponent, RefusedConnectionFails) {
  RefusingPort port;
  ASSERT_GT(port.Port(), 0);
  TIdFTP ftp;
  Events ev;
  ev.Bind(ftp);
  PointAt(ftp, port.Port(), "kopie", "haslo123");
  const EIdFTPError e = RaisedBy("connected to a refusing port", [&] { ftp.Connect(); });
  EXPECT_NE(std::string(e.what()).find("odrzucił połączenie"), std::string::npos) << e.what();
  EXPECT_FALSE(ftp.Connected());
  EXPECT_EQ(ev.status, (std::vector<TIdStatus>{hsResolving, hsConnecting}));
}

TEST(FtpComponent, WrongPasswordFails) {
  FtpTestServer server({FtpTestServer::Account{"kopie", "haslo123"}});
  ASSERT_TRUE(server.Started());
  TIdFTP ftp;
  Events ev;
  ev.Bind(ftp);
  PointAt(ftp, server.Port(), "kopie", "zlehaslo");
  const EIdFTPError e = RaisedBy("logged in with a wrong password", [&] { ftp.Connect(); });
  EXPECT_EQ(e.ReplyCode, 530);
  EXPECT_NE(std::string(e.what()).find("hasło"), std::string::npos) << e.what();
  EXPECT_FALSE(ftp.Connected());
  EXPECT_EQ(ev.Count(hsConnected), 1);
  EXPECT_EQ(ev.status.back(), hsDisconnected);
  EXPECT_THROW(ftp.Put("/etc/hostname", "x", true), EIdFTPError);
}

TEST(FtpComponent, ServerThatNeverAnswersTimesOut) {
  SilentPort port;
  ASSERT_GT(port.Port(), 0);
  TIdFTP ftp;
  PointAt(ftp, port.Port(), "kopie", "haslo123");
  ftp.ConnectTimeout = 300;
  ftp.ReadTimeout = 300;
  const auto start = std::chrono::steady_clock::now();
  const EIdFTPError e = RaisedBy("connected to a silent server", [&] { ftp.Connect(); });
  EXPECT_NE(std::string(e.what()).find("czas"), std::string::npos) << e.what();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(ftp.Connected());
}
