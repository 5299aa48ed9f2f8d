// The FTP client component of the update and backup windows, over libcurl.
// It keeps the shape of the component the windows were written against:
// Host, Port, Username, Password and Passive as properties, Connect (with
// login), ChangeDir, Size, FileDate, Get, Put, Disconnect, and the status
// and work events. No Qt here, so the windows bind the events with plain
// callbacks. One control connection serves every call between Connect and
// Disconnect, in active and passive mode alike.
//
// The calls return only when the server has answered, as blocking calls
// do, but the calling (window) thread does not stand still meanwhile:
// libcurl works on a helper thread of the call, and the calling thread
// delivers the status and work events on its own thread, in order, and
// handles the program's pending events every few milliseconds through the
// engine's UI, without user input, so that the window keeps painting and
// its log stays visible. A window that runs the calls ignores close
// requests meanwhile; the event handlers must not call the component.
#pragma once
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// A failed FTP operation: the message says what failed and, where the
// server answered, its reply. ReplyCode is the server's last reply code
// (0 when none came).
class EIdFTPError : public std::runtime_error {
 public:
  EIdFTPError(const std::string& message, int replyCode) : std::runtime_error(message), ReplyCode(replyCode) {}
  int ReplyCode;
};

// The nine connection states of the status event.
enum TIdStatus {
  hsResolving,      // about to look up the host
  hsConnecting,     // about to open the control connection
  hsConnected,      // the server greeted a new control connection
  hsDisconnecting,  // about to close the control connection
  hsDisconnected,   // the control connection is closed
  hsStatusText,     // a message of the server (its greeting), in the text
  ftpTransfer,      // the server started a data transfer
  ftpReady,         // the data transfer completed
  ftpAborted,       // the data transfer failed after it started
};

enum TWorkMode { wmRead, wmWrite };

// The zero date-time (30 December 1899, 00:00 UTC) in seconds since the
// epoch: what FileDate returns when the server does not date the file.
inline constexpr std::time_t kFtpZeroDateTime = -2209161600;

// The two servers the program talks to, as the windows' components are set
// up: the update server and the backup upload server.
struct TFtpAccount {
  const char* Host;
  int Port;
  const char* Username;
  const char* Password;
};
extern const TFtpAccount kUpdateFtpAccount;
extern const TFtpAccount kBackupFtpAccount;

// Removes from `dir` the temporary files of downloads that ended with
// their program, killed or with the machine stopped: only names exactly
// as the downloads make them, ".~ftp" + four upper-case hexadecimal digits
// + ".TMP". The one of a download still running, which holds its file
// from before the name appears until after it is gone, stays.
void RemoveDownloadLeftovers(const std::string& dir);

class TIdFTP {
 public:
  using StatusEvent = std::function<void(TIdStatus AStatus, const std::string& AStatusText)>;
  using WorkEvent = std::function<void(TWorkMode AWorkMode, int64_t AWorkCount)>;

  TIdFTP();
  ~TIdFTP();  // disconnects
  TIdFTP(const TIdFTP&) = delete;
  TIdFTP& operator=(const TIdFTP&) = delete;

  std::string Host;
  int Port = 21;
  std::string Username;
  std::string Password;
  // Passive data connections (PASV/EPSV) when true, active (PORT/EPRT)
  // when false. Takes effect from the next call.
  bool Passive = false;
  // Milliseconds allowed to open the control connection and have the
  // greeting and login answered, and for the server to open an active
  // data connection; 0 waits without limit.
  int ConnectTimeout = 30000;
  // Milliseconds a reply or a stalled transfer may be waited for; 0 waits
  // without limit.
  int ReadTimeout = 60000;

  StatusEvent OnStatus;
  WorkEvent OnWork;

  void SetAccount(const TFtpAccount& account);

  // Opens the control connection and logs in. Raises EIdFTPError when the
  // host cannot be reached, refuses the connection, does not answer in
  // time or rejects the login; the component is then disconnected.
  // A connected component disconnects first.
  void Connect();
  // Logs out and closes the control connection; nothing when not connected.
  void Disconnect();
  bool Connected() const { return connected_; }

  // Changes the server directory ("/x" from the root, "x" from the current
  // one) for the following calls. Raises when the server refuses it; the
  // directory then stays as it was.
  void ChangeDir(const std::string& dir);
  // The size in bytes of a file in the current server directory (SIZE),
  // −1 when the server does not answer 213. Raises only when the
  // connection fails.
  int64_t Size(const std::string& fileName);
  // The modification time of a file (MDTM) in UTC seconds since the epoch,
  // kFtpZeroDateTime when the server does not answer 213. Raises only when
  // the connection fails.
  std::time_t FileDate(const std::string& fileName);
  // Downloads a file (RETR) into `localPath`, which is replaced (an
  // existing file of that name in any letter case) only when the whole
  // file has arrived, as far as the server sent it with its transfer
  // reported complete (a SIZE reply plays no part); a failed transfer
  // leaves it as it was. The file
  // arrives under a temporary name beside it; those of downloads into the
  // same directory that died with their program go first
  // (RemoveDownloadLeftovers). Raises when
  // the server refuses the file (missing), the transfer fails, or the file
  // exists and `canOverwrite` is false.
  void Get(const std::string& remoteName, const std::string& localPath, bool canOverwrite);
  // Uploads a local file, appended to the server's file (APPE, which
  // creates it when missing) or replacing it (STOR). Raises when the local
  // file cannot be read or the server refuses or breaks the transfer.
  void Put(const std::string& localPath, const std::string& remoteName, bool append);

 private:
  struct Request;
  friend struct Request;
  void RequireConnected(const char* operation) const;
  std::string BaseUrl() const;
  std::string DirUrl(const std::string& dir) const;
  std::string FileUrl(const std::string& name) const;
  void Status(TIdStatus status, const std::string& text);
  // Runs `work` (libcurl's blocking calls) on a helper thread while this
  // thread delivers the events it posts, in order, and handles pending
  // window events every few milliseconds; returns when `work` has, and
  // raises what it raised. Event handlers run on this thread only.
  void RunWaiting(const std::function<void()>& work);
  // Calls `event` now, or, on RunWaiting's helper thread, hands it to the
  // waiting thread.
  void Post(std::function<void()> event);
  std::string FailureText(const std::string& what, int curlCode) const;
  [[noreturn]] void Fail(const std::string& what, int curlCode);
  void CloseHandle();

  struct Handle;
  std::unique_ptr<Handle> h_;
  bool connected_ = false;
  std::string dir_;  // "" = the login directory; else "/abs" or "rel"
  // Filled by the reply parser of the running request.
  std::string lastReply_;
  int lastCode_ = 0;
};
