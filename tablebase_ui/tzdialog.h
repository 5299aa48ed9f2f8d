// The message dialog: the one modal question-and-message window of the
// program. A caller gives a caption, a one-character icon code, a message
// and the button captions in one string, and gets back the accelerator
// letter of the button pressed:
//
//   if (ShowMessageDialog("Potwierdzenie", "?", "Potwierdź zamiar odtwarzania plików z kopii.",
//                         "Nie Tak") == "T") ...
//
// All texts are UTF-8. The window is laid out by pixel rules from its font
// (no Qt layouts), so the same call always gives the same window. One
// dialog at a time, window thread only. REQUIRES: a QApplication exists;
// the module takes its start-up options (the screen as the placement area)
// on first use.
#pragma once
#include <QDialog>
#include <QFont>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The look of every dialog. Colours are Windows colour values
// (0x00BBGGRR: blue, green, red).
struct DialogOptions {
  std::string DefaultCaption;       // used when the caller's caption is empty; at most 80 characters
  std::string PictureFile;          // picture in the upper right corner; at most 70 characters
  uint32_t TextColor = 0;           // message text
  uint32_t BackColor = 0xC0C0C0;    // window background
  uint32_t ButtonTextColor = 0;     // button captions
  uint32_t SpareColor = 0xC0C0C0;   // kept and returned, used by nothing
  // Face (when not empty) and point size (when above 0) replace the dialog's
  // own font; a font with no style makes the dialog text regular, a font
  // with any style leaves it bold.
  std::optional<QFont> Font;
  bool Beep = true;                 // the icon's system sound when a dialog opens
  // Placement area in screen pixels, clamped to the screen when set; the
  // defaults here stand for the whole screen.
  int32_t AreaLeft = 0;
  int32_t AreaRight = INT32_MAX;
  int32_t AreaTop = 0;
  int32_t AreaBottom = INT32_MAX;
};

// Sets the options: texts are cut to their maxima; each colour is taken
// only when it is not 0 (0 means "unchanged", so black cannot be set back
// once another colour is set); the area is clamped to the screen.
void SetDialogOptions(const DialogOptions& options);
// The current options, font included (a copy of the module's own).
void GetDialogOptions(DialogOptions& options);
// Back to the options the module starts with (the area is the screen as it
// is now). For tests, which share one process-wide module.
void ResetDialogOptions();

// The dialog window: a "Message" label, an optional "Picture" and "Icon",
// and push buttons "button1".."buttonN" whose dialog result is their
// number. It has no close box; without a caption it has no title bar and a
// thin border. Its dynamic property "iconCode" holds the code of the shown
// icon ("H", "I", "!", "?", "A"; empty for none).
class TDialogForm : public QDialog {
  Q_OBJECT

 public:
  explicit TDialogForm(bool captionless);

  // Gives the window the client size `client`, less what the whole window,
  // frame included, would stand out of `area` (in height only when
  // `limitHeight`); lays the message, picture and buttons out on that size;
  // and puts the middle of the whole window on the middle of `area`. The
  // frame is the window manager's and known only once the window is
  // shown, so the window is fitted again whenever its frame turns out
  // other than the one it was fitted with (never after a move by the user,
  // which keeps the frame).
  void Fit(QSize client, bool limitHeight, const QRect& area);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

 private:
  QMargins FrameMargins() const;
  void Place();
  // The children's places on a client area of `client`.
  void Arrange(QSize client);

  bool captionless_;
  QSize client_;
  bool limitHeight_ = false;
  QRect area_;
  QMargins placedWith_;
};

// The most buttons a dialog shows; further captions are left out.
constexpr int kMaxDialogButtons = 8;

// Builds and sizes the dialog without showing it. An empty `buttons` (after
// trailing blanks) becomes "&OK" in the caller's variable. Icon codes (any
// case): "A" application, "H" stop, "I" information, "!" exclamation, "?"
// question; anything else shows no icon. ";" and CR LF, LF CR, LF, CR in
// `message` break lines; the first " CENTERTEXT" (any case) is removed.
std::unique_ptr<TDialogForm> BuildMessageDialog(const std::string& caption, const std::string& iconCode,
                                                const std::string& message, std::string& buttons);

// Shows the dialog modally with the arrow cursor (the caller's cursor comes
// back afterwards) and returns the pressed button's accelerator letter in
// upper case: the character after the first "&" of its caption, else its
// first character ("Tak" gives "T", "&OK" "O", "Wyłącz_proponowanie_kopii"
// "W", "łatwo" "Ł"). Returns " " when the dialog ends without a button
// (Esc, or closed by the system).
std::string ShowMessageDialog(const std::string& caption, const std::string& iconCode,
                              const std::string& message, const std::string& buttons);
