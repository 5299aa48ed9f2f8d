// Renders the update window during and after real checks against a local
// update server (tests/ftp_server.py, pyftpdlib on 127.0.0.1): one check
// that finds newer archives, one that finds none; and the main window's
// backup proposal at closing. A message dialog is drawn over its window,
// as a person sees it.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <ctime>
#include <functional>

#include "admin/Adm_EkRuv.h"
#include "admin/Ekr_Adm_ftp.h"
#include "admin/IniFiles.h"
#include "admin/Siblings.h"
#include "platform/pfs.h"
#include "screens/admin_shot.h"
#include "screens/shot.h"
#include "tablebase_ui/tzdialog.h"

extern char** environ;

namespace {

constexpr const char* kUser = "velmosoft_ftp_aktualizacje";
constexpr const char* kPassword = "pokaz123";

std::time_t Utc(int y, int m, int d) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_hour = 12;
  return timegm(&tm);
}

// The update server for the pictures, stopped with the object.
class Server {
 public:
  explicit Server(const QString& root) {
    const std::string portFile = (root + "/port").toStdString();
    std::vector<std::string> argv = {"/usr/bin/python3", std::string(RUV_SOURCE_DIR) + "/tests/ftp_server.py",
                                     "--port-file", portFile, "--log", (root + "/server.log").toStdString(),
                                     "--user", std::string(kUser) + ":" + kPassword + ":" + Home(root).toStdString()};
    QDir().mkpath(Home(root));
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
    for (int i = 0; pid_ > 0 && i < 400 && port_ == 0; ++i) {
      QFile f(QString::fromStdString(portFile));
      if (f.open(QIODevice::ReadOnly)) port_ = f.readAll().toInt();
      if (port_ == 0) QThread::msleep(25);
    }
  }
  ~Server() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  static QString Home(const QString& root) { return root + "/home/"; }
  int Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// Runs `code`; when its first message dialog comes up, saves it drawn over
// `under` as <dir>/<name>.png and answers it with its button `button`.
// Later dialogs are answered with their first button.
bool WithDialog(QWidget& under, const QString& dir, const QString& name, int button,
                const std::function<void()>& code) {
  bool saved = false, first = true;
  QTimer poll;
  poll.setInterval(20);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<TDialogForm*>(QApplication::activeModalWidget());
    if (!dialog || !dialog->isVisible()) return;
    QCoreApplication::processEvents();
    if (first) {
      const QImage window = screens::Framed(under);
      const QImage over = screens::Framed(*dialog);
      // A dialog wider than its window stands out over the window's sides.
      QImage out(std::max(window.width(), over.width()), std::max(window.height(), over.height()),
                 QImage::Format_ARGB32);
      out.fill(Qt::white);
      QPainter p(&out);
      p.drawImage((out.width() - window.width()) / 2, (out.height() - window.height()) / 2, window);
      p.drawImage((out.width() - over.width()) / 2, (out.height() - over.height()) / 2, over);
      p.end();
      saved = screens::WritePng(out, dir, name);
    }
    const QString answer = "button" + QString::number(first ? button : 1);
    first = false;
    if (auto* b = dialog->findChild<QPushButton*>(answer)) b->click();
  });
  poll.start();
  code();
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString dir = screens::StartAsTheProgram(app, argc, argv);

  // Tamir, Selmira and Morta installed; Tamir's archive is newer.
  QTemporaryDir tree;
  const QString prog = tree.path() + "/ruv/";
  for (const char* f : {"Ruv_TM.exe", "Ruv_SL.exe", "ruv_inst.dbf"}) screens::WriteFile(prog + f, "x");
  for (const char* f : {"Morta.exe", "mrt_inst.dbf"}) screens::WriteFile(tree.path() + "/Morta/" + f, "x");
  screens::WriteFile(prog + "ruv_admin.ini", "[ustawienia]\r\nczy_pierwszy=Nie\r\n");
  screens::WriteFile(prog + "ruv.ini",
        "[ustawienia]\r\nproponuj_aktualizacje=Nie\r\nproponuj_kopie_kiedy=01.02.2024\r\n"
        "[aktualizacje]\r\nwykonano=12.01.2024\r\nTamir=10.01.2024\r\nSL=12.01.2024\r\nMorta=05.12.2023\r\n");
  SetProgramDir(prog.toStdString());

  Server server(tree.path() + "/ftp");
  if (server.Port() == 0) {
    std::fprintf(stderr, "the update server did not start\n");
    return 1;
  }
  const QString updates = Server::Home(tree.path() + "/ftp") + "aktualizacje/";
  const std::pair<const char*, std::time_t> archives[] = {
      {"RuvTM.zip", Utc(2024, 3, 4)}, {"RuvSL.zip", Utc(2024, 1, 12)}, {"Mrt.zip", Utc(2023, 12, 5)}};
  for (const auto& [name, mtime] : archives) {
    screens::WriteFile(updates + name, "PK");
    plat::SetFileModTime((updates + name).toStdString(), mtime);
  }

  TEkr_Ruv main;
  TAdm_ftp update(&main);
  update.SetInstalledQuery([&main](const TSiblingProgram& p) { return main.ProgramButton(p)->isEnabled(); });
  update.IdFTP1.Host = "127.0.0.1";
  update.IdFTP1.Port = server.Port();
  update.IdFTP1.Password = kPassword;

  bool ok = screens::Save(update, dir, "update_window_report");
  ok &= WithDialog(update, dir, "update_check_offers_updates", 2, [&] { update.Button1Click(); });
  TIniFile(prog.toStdString() + "ruv.ini").WriteString("aktualizacje", "Tamir", "04.03.2024");
  ok &= WithDialog(update, dir, "update_check_finds_none", 1, [&] { update.Button1Click(); });
  ok &= screens::Save(update, dir, "update_window_after_check");
  update.hide();

  main.show();
  ok &= WithDialog(main, dir, "backup_proposal", 2, [&] { main.close(); });
  return ok ? 0 : 1;
}
