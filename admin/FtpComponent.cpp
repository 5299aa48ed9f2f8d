#include "admin/FtpComponent.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "admin/FileErrors.h"
#include "platform/pfile.h"
#include "platform/pfs.h"
#include "tablebase/engineui.h"

// Our choice of addresses and passwords: the servers and accounts are
// configuration of the components, not of the settings files.
const TFtpAccount kUpdateFtpAccount = {"ftp.velmosoft.pl", 21, "velmosoft_ftp_aktualizacje", "akt5wzq8"};
const TFtpAccount kBackupFtpAccount = {"ftp.velmosoft.pl", 21, "velmosoft_ftp", "kopiadany7"};

namespace {

// The longest single wait for the server, in milliseconds, and the
// interval at which pending events are handled while a call waits.
constexpr int kWaitMs = 10;

// A download's temporary file beside its target: this, four hexadecimal
// digits and ".TMP".
constexpr const char* kDownloadTempPrefix = ".~ftp";

// What a helper thread of RunWaiting hands to the waiting thread.
struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::function<void()>> events;
  bool done = false;
};
// Set on a helper thread only: where its events go.
thread_local Waiter* tl_waiter = nullptr;

void GlobalInit() {
  static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (rc != CURLE_OK) throw EIdFTPError("Nie można zainicjować biblioteki FTP.", 0);
}

std::string Escape(CURL* c, const std::string& segment) {
  char* e = curl_easy_escape(c, segment.data(), int(segment.size()));
  std::string out = e ? e : "";
  curl_free(e);
  return out;
}

}  // namespace

// The connection cache belongs to the multi handle: the control connection
// lives from Connect to Disconnect there, and every request reuses it.
struct TIdFTP::Handle {
  CURLM* multi = nullptr;
  CURL* curl = nullptr;
  char error[CURL_ERROR_SIZE] = {};
  ~Handle() {
    if (multi) curl_multi_cleanup(multi);  // sends QUIT on an open connection
    if (curl) curl_easy_cleanup(curl);
  }
};

// The state of one libcurl request: turns the server's replies and the
// transfer's progress into the component's events, and moves the data
// between libcurl and the local file.
struct TIdFTP::Request {
  TIdFTP& ftp;
  bool connecting = false;   // the request that opens the connection
  bool greeted = false;      // a greeting came on a new connection
  bool transferring = false;  // the server announced the data transfer
  TWorkMode mode = wmRead;
  int64_t reported = -1;
  plat::File* file = nullptr;
  int fileError = 0;
  std::string partial;  // a reply line split across callbacks

  Request(TIdFTP& f, const std::string& url) : ftp(f) {
    CURL* c = ftp.h_->curl;
    curl_easy_reset(c);
    ftp.lastReply_.clear();
    ftp.lastCode_ = 0;
    ftp.h_->error[0] = 0;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_USERNAME, ftp.Username.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, ftp.Password.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, ftp.h_->error);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
    // One CWD to the whole path rather than one per component: fewer round
    // trips on every transfer of the reused connection.
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_SINGLECWD));
    curl_easy_setopt(c, CURLOPT_FTPPORT, ftp.Passive ? nullptr : "-");
    curl_easy_setopt(c, CURLOPT_FTP_USE_EPSV, 1L);
    curl_easy_setopt(c, CURLOPT_FTP_USE_EPRT, 1L);
    // The data connection goes to the address of the control connection,
    // whatever address a PASV reply names.
    curl_easy_setopt(c, CURLOPT_FTP_SKIP_PASV_IP, 1L);
    if (ftp.ConnectTimeout > 0) {
      curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(ftp.ConnectTimeout));
      curl_easy_setopt(c, CURLOPT_ACCEPTTIMEOUT_MS, long(ftp.ConnectTimeout));
    }
    if (ftp.ReadTimeout > 0) {
      const long seconds = (ftp.ReadTimeout + 999) / 1000;
      curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, seconds);
      curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, seconds);
    }
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Request::OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(c, CURLOPT_SOCKOPTFUNCTION, &Request::OnSocket);
    curl_easy_setopt(c, CURLOPT_SOCKOPTDATA, this);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Request::OnProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Request::OnWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
  }

  // Runs the request. libcurl's own blocking call waits up to a second at a
  // time for socket activity, and after an EPSV/PASV or EPRT/PORT reply on
  // a reused connection the data connection is sometimes missing from what
  // it waits on: the transfer then stalls for that whole second (the
  // server's log shows the gap between its 229 reply and the data
  // connection). Driving the multi interface with short waits bounds such a
  // miss to a few milliseconds; a wait ends at once on real activity.
  // libcurl still blocks inside a step now and then (the reply after a
  // transfer), so the whole request runs on the component's helper thread.
  CURLcode Perform() {
    CURLcode result = CURLE_OK;
    ftp.RunWaiting([&] { result = Drive(); });
    return result;
  }

  CURLcode Drive() {
    CURLM* m = ftp.h_->multi;
    CURL* c = ftp.h_->curl;
    if (curl_multi_add_handle(m, c) != CURLM_OK) return CURLE_FAILED_INIT;
    CURLcode result = CURLE_OK;
    int running = 1;
    while (running) {
      if (curl_multi_perform(m, &running) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        break;
      }
      if (running) curl_multi_poll(m, nullptr, 0, kWaitMs, nullptr);
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(m, &queued))
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) result = msg->data.result;
    curl_multi_remove_handle(m, c);
    return result;
  }

  // Every line the server sends on the control connection comes here
  // (with libcurl's own "Content-Length:" lines of a no-body request).
  static size_t OnHeader(char* buf, size_t size, size_t n, void* user) {
    auto* r = static_cast<Request*>(user);
    r->partial.append(buf, size * n);
    if (r->partial.empty() || r->partial.back() != '\n') return size * n;
    std::string line;
    line.swap(r->partial);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.size() < 4 || line[3] != ' ' || line[0] < '1' || line[0] > '5' || line[1] < '0' || line[1] > '9' ||
        line[2] < '0' || line[2] > '9')
      return size * n;  // a continuation line or libcurl's own
    const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    r->ftp.lastCode_ = code;
    r->ftp.lastReply_ = line;
    if (code == 220 && !r->greeted) {
      // Only a new control connection is greeted.
      r->greeted = true;
      r->ftp.Status(hsConnected, "Connected.");
      r->ftp.Status(hsStatusText, line.substr(4));
    } else if ((code == 150 || code == 125) && !r->transferring) {
      r->transferring = true;
      r->ftp.Status(ftpTransfer, "Transfer started.");
    }
    return size * n;
  }

  static int OnSocket(void* user, curl_socket_t, curlsocktype purpose) {
    auto* r = static_cast<Request*>(user);
    if (purpose == CURLSOCKTYPE_IPCXN && r->connecting && !r->greeted && !r->connectReported) {
      r->connectReported = true;
      r->ftp.Status(hsConnecting, "Connecting to " + r->ftp.Host + ".");
    }
    return CURL_SOCKOPT_OK;
  }
  bool connectReported = false;

  static int OnProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto* r = static_cast<Request*>(user);
    r->Work(r->mode == wmRead ? dlnow : ulnow);
    return 0;
  }

  void Work(int64_t count) {
    if (!transferring || count == reported) return;
    reported = count;
    ftp.Post([&f = ftp, m = mode, count] {
      if (f.OnWork) f.OnWork(m, count);
    });
  }

  static size_t OnWrite(char* buf, size_t size, size_t n, void* user) {
    auto* r = static_cast<Request*>(user);
    if (!r->file) return size * n;
    if (int rc = r->file->Write(buf, size * n)) {
      r->fileError = rc;
      return 0;
    }
    return size * n;
  }

  static size_t OnRead(char* buf, size_t size, size_t n, void* user) {
    auto* r = static_cast<Request*>(user);
    size_t got = 0;
    if (int rc = r->file->Read(buf, size * n, &got)) {
      r->fileError = rc;
      return CURL_READFUNC_ABORT;
    }
    return got;
  }
};

TIdFTP::TIdFTP() { GlobalInit(); }

TIdFTP::~TIdFTP() {
  // No events, and no event handling, in a component that is going away
  // with its window.
  h_.reset();
}

void TIdFTP::SetAccount(const TFtpAccount& account) {
  Host = account.Host;
  Port = account.Port;
  Username = account.Username;
  Password = account.Password;
}

void TIdFTP::Status(TIdStatus status, const std::string& text) {
  Post([this, status, text] {
    if (OnStatus) OnStatus(status, text);
  });
}

void TIdFTP::Post(std::function<void()> event) {
  if (Waiter* w = tl_waiter) {
    {
      std::lock_guard lock(w->mutex);
      w->events.push_back(std::move(event));
    }
    w->cv.notify_one();
    return;
  }
  event();
}

void TIdFTP::RunWaiting(const std::function<void()>& work) {
  Waiter w;
  std::exception_ptr workFailure;
  std::thread helper([&] {
    tl_waiter = &w;
    try {
      work();
    } catch (...) {
      workFailure = std::current_exception();
    }
    tl_waiter = nullptr;
    {
      std::lock_guard lock(w.mutex);
      w.done = true;
    }
    w.cv.notify_one();
  });
  // The helper is joined on every way out; an event handler's exception
  // stops the delivery of further events and comes afterwards.
  std::exception_ptr eventFailure;
  auto pumped = std::chrono::steady_clock::now();
  std::unique_lock lock(w.mutex);
  for (;;) {
    w.cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return w.done || !w.events.empty(); });
    std::vector<std::function<void()>> batch;
    batch.swap(w.events);
    const bool finished = w.done;
    lock.unlock();
    for (auto& event : batch) {
      if (eventFailure) break;
      try {
        event();
      } catch (...) {
        eventFailure = std::current_exception();
      }
    }
    if (finished) break;
    if (const auto now = std::chrono::steady_clock::now(); now - pumped >= std::chrono::milliseconds(kWaitMs)) {
      pumped = now;
      try {
        Ui().ProcessMessages();
      } catch (...) {
        if (!eventFailure) eventFailure = std::current_exception();
      }
    }
    lock.lock();
  }
  helper.join();
  if (workFailure) std::rethrow_exception(workFailure);
  if (eventFailure) std::rethrow_exception(eventFailure);
}

std::string TIdFTP::BaseUrl() const {
  std::string host = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
  return "ftp://" + host + ":" + std::to_string(Port) + "/";
}

// libcurl takes the URL path as relative to the login directory; "%2F"
// makes it absolute.
std::string TIdFTP::DirUrl(const std::string& dir) const {
  std::string url = BaseUrl();
  size_t i = 0;
  if (!dir.empty() && dir[0] == '/') {
    url += "%2F";
    i = 1;
  }
  bool any = false;
  while (i < dir.size()) {
    size_t j = dir.find('/', i);
    if (j == std::string::npos) j = dir.size();
    if (j > i) {
      url += Escape(h_->curl, dir.substr(i, j - i)) + "/";
      any = true;
    }
    i = j + 1;
  }
  if (i == 1 && !any) url += "/";  // the root itself
  return url;
}

std::string TIdFTP::FileUrl(const std::string& name) const { return DirUrl(dir_) + Escape(h_->curl, name); }

void TIdFTP::RequireConnected(const char* operation) const {
  if (!connected_) throw EIdFTPError(std::string("Brak połączenia z serwerem FTP (") + operation + ").", 0);
}

void TIdFTP::CloseHandle() {
  Status(hsDisconnecting, "Disconnecting.");
  // Closing sends QUIT on an open connection and waits for its answer.
  RunWaiting([this] { h_.reset(); });
  connected_ = false;
  dir_.clear();
  Status(hsDisconnected, "Disconnected.");
}

std::string TIdFTP::FailureText(const std::string& what, int curlCode) const {
  std::string why;
  switch (curlCode) {
    case CURLE_COULDNT_RESOLVE_HOST: why = "nieznany adres serwera"; break;
    case CURLE_COULDNT_CONNECT: why = "serwer odrzucił połączenie lub jest nieosiągalny"; break;
    case CURLE_OPERATION_TIMEDOUT: why = "przekroczony czas oczekiwania na serwer"; break;
    case CURLE_LOGIN_DENIED: why = "serwer odrzucił nazwę użytkownika lub hasło"; break;
    case CURLE_REMOTE_FILE_NOT_FOUND: why = "plik nie istnieje na serwerze"; break;
    case CURLE_REMOTE_ACCESS_DENIED: why = "serwer odmówił dostępu"; break;
    case CURLE_UPLOAD_FAILED: why = "serwer odrzucił zapis pliku"; break;
    case CURLE_FTP_WEIRD_SERVER_REPLY: why = "niezrozumiała odpowiedź serwera"; break;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE: why = "połączenie zostało przerwane"; break;
    default: why = h_ && h_->error[0] ? h_->error : curl_easy_strerror(CURLcode(curlCode));
  }
  std::string msg = what + ": " + why;
  if (!lastReply_.empty() && lastCode_ >= 400) msg += " (odpowiedź serwera: " + lastReply_ + ")";
  return msg + ".";
}

void TIdFTP::Fail(const std::string& what, int curlCode) { throw EIdFTPError(FailureText(what, curlCode), lastCode_); }

void TIdFTP::Connect() {
  if (h_) CloseHandle();
  h_ = std::make_unique<Handle>();
  h_->multi = curl_multi_init();
  h_->curl = curl_easy_init();
  if (!h_->multi || !h_->curl) {
    h_.reset();
    throw EIdFTPError("Nie można zainicjować połączenia FTP.", 0);
  }
  Status(hsResolving, "Resolving hostname " + Host + ".");
  Request r(*this, BaseUrl());
  r.connecting = true;
  curl_easy_setopt(h_->curl, CURLOPT_NOBODY, 1L);
  const CURLcode rc = r.Perform();
  if (rc != CURLE_OK) {
    EIdFTPError error(FailureText("Nie można połączyć się z serwerem " + Host + ":" + std::to_string(Port), rc),
                      lastCode_);
    // A server that greeted us was connected and is now left; one that
    // never answered was not.
    if (r.greeted)
      CloseHandle();
    else
      h_.reset();
    throw error;
  }
  connected_ = true;
  dir_.clear();
}

void TIdFTP::Disconnect() {
  if (!h_) return;
  CloseHandle();
}

void TIdFTP::ChangeDir(const std::string& dir) {
  RequireConnected("ChangeDir");
  std::string target;
  if (!dir.empty() && (dir[0] == '/' || dir[0] == '\\'))
    target = dir;
  else
    target = dir_.empty() ? dir : dir_ + "/" + dir;
  for (char& c : target)
    if (c == '\\') c = '/';
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  Request r(*this, DirUrl(target));
  curl_easy_setopt(h_->curl, CURLOPT_NOBODY, 1L);
  const CURLcode rc = r.Perform();
  if (rc != CURLE_OK) Fail("Nie można przejść do katalogu " + dir + " na serwerze", rc);
  dir_ = target;
}

int64_t TIdFTP::Size(const std::string& fileName) {
  RequireConnected("Size");
  Request r(*this, FileUrl(fileName));
  curl_easy_setopt(h_->curl, CURLOPT_NOBODY, 1L);
  const CURLcode rc = r.Perform();
  // A refusal of the file is no failure: the size is then unknown.
  if (rc != CURLE_OK && rc != CURLE_REMOTE_FILE_NOT_FOUND && rc != CURLE_FTP_COULDNT_RETR_FILE)
    Fail("Nie można odczytać rozmiaru pliku " + fileName, rc);
  curl_off_t size = -1;
  if (curl_easy_getinfo(h_->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size) != CURLE_OK || size < 0) return -1;
  return int64_t(size);
}

std::time_t TIdFTP::FileDate(const std::string& fileName) {
  RequireConnected("FileDate");
  Request r(*this, FileUrl(fileName));
  curl_easy_setopt(h_->curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(h_->curl, CURLOPT_FILETIME, 1L);
  const CURLcode rc = r.Perform();
  if (rc != CURLE_OK && rc != CURLE_REMOTE_FILE_NOT_FOUND && rc != CURLE_FTP_COULDNT_RETR_FILE)
    Fail("Nie można odczytać daty pliku " + fileName, rc);
  curl_off_t t = -1;
  if (curl_easy_getinfo(h_->curl, CURLINFO_FILETIME_T, &t) != CURLE_OK || t < 0) return kFtpZeroDateTime;
  return std::time_t(t);
}

// A download holds its temporary file deny-all from before the file's name
// appears until after the name is gone (renamed to the target or erased),
// so a file this opens deny-all has no download behind it. Once held here
// and checked to be the file under that name, the name stays bound to it:
// only the holder of a file takes its name away, and a new file gets the
// name only after that.
void RemoveDownloadLeftovers(const std::string& dir) {
  std::string d = plat::ResolvePath(dir);
  if (!d.empty() && d.back() != '/') d += '/';
  std::vector<plat::FindData> found;
  if (plat::FindFiles(d + kDownloadTempPrefix + "????.TMP", 0, found) != plat::kOk) return;
  for (const plat::FindData& f : found) {
    if (!plat::IsUniqueFileName(f.name, kDownloadTempPrefix)) continue;
    const std::string path = d + f.name;
    plat::File probe;
    if (probe.Open(path, plat::kAccessReadWrite | plat::kShareDenyAll) == plat::kOk && probe.IsNamed(path))
      plat::EraseAsNamed(path);
  }
}

void TIdFTP::Get(const std::string& remoteName, const std::string& localPath, bool canOverwrite) {
  RequireConnected("Get");
  const std::string target = plat::ResolvePath(localPath);
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw EIdFTPError("Nie można zapisać pliku " + target + ": istnieje katalog o tej nazwie.", 0);
    if (!canOverwrite) throw EIdFTPError("Plik " + target + " już istnieje.", 0);
  }
  const auto slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string("./") : target.substr(0, slash + 1);
  RemoveDownloadLeftovers(dir);
  // Held deny-all from before its name appears until after the rename, as
  // RemoveDownloadLeftovers relies on.
  plat::File out;
  if (int rc = out.CreateUnique(dir, kDownloadTempPrefix, plat::kShareDenyAll))
    throw EIdFTPError("Nie można utworzyć pliku w katalogu " + dir + " (" + FileErrorText(rc) + ").", 0);
  plat::TempFile tmp(out.Path());  // goes, on failure, while still held

  Request r(*this, FileUrl(remoteName));
  r.mode = wmRead;
  r.file = &out;
  // The file ends where the server closes the data connection and reports
  // the transfer complete. Without this libcurl asks SIZE first (or reads
  // a size off the transfer's opening reply) and stops reading after that
  // many bytes, so a wrong reply would cut the file short.
  curl_easy_setopt(h_->curl, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
  const CURLcode rc = r.Perform();
  if (rc == CURLE_OK) {
    curl_off_t got = 0;
    curl_easy_getinfo(h_->curl, CURLINFO_SIZE_DOWNLOAD_T, &got);
    r.transferring = true;
    r.Work(int64_t(got));
    if (int e = plat::RenameAsNamed(tmp.Path(), target)) {
      Status(ftpAborted, "Transfer aborted.");
      throw EIdFTPError("Nie można zapisać pliku " + target + " (" + FileErrorText(e) + ").", 0);
    }
    tmp.Release();
    out.Close();
    Status(ftpReady, "Transfer complete.");
    return;
  }
  if (r.transferring) Status(ftpAborted, "Transfer aborted.");
  if (r.fileError)
    throw EIdFTPError("Nie można zapisać pliku " + target + " (" + FileErrorText(r.fileError) + ").", lastCode_);
  Fail("Nie można pobrać pliku " + remoteName, rc);
}

void TIdFTP::Put(const std::string& localPath, const std::string& remoteName, bool append) {
  RequireConnected("Put");
  plat::File in;
  if (int rc = in.Open(localPath, plat::kAccessRead | plat::kShareDenyWrite))
    throw EIdFTPError("Nie można odczytać pliku " + localPath + " (" + FileErrorText(rc) + ").", 0);
  int64_t size = 0;
  if (int rc = in.GetSize(&size))
    throw EIdFTPError("Nie można odczytać pliku " + localPath + " (" + FileErrorText(rc) + ").", 0);

  Request r(*this, FileUrl(remoteName));
  r.mode = wmWrite;
  r.file = &in;
  curl_easy_setopt(h_->curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(h_->curl, CURLOPT_APPEND, append ? 1L : 0L);
  curl_easy_setopt(h_->curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(size));
  curl_easy_setopt(h_->curl, CURLOPT_READFUNCTION, &Request::OnRead);
  curl_easy_setopt(h_->curl, CURLOPT_READDATA, &r);
  const CURLcode rc = r.Perform();
  if (rc == CURLE_OK) {
    r.transferring = true;
    r.Work(size);
    Status(ftpReady, "Transfer complete.");
    return;
  }
  if (r.transferring) Status(ftpAborted, "Transfer aborted.");
  if (r.fileError)
    throw EIdFTPError("Nie można odczytać pliku " + localPath + " (" + FileErrorText(r.fileError) + ").", lastCode_);
  Fail("Nie można wysłać pliku " + remoteName, rc);
}
