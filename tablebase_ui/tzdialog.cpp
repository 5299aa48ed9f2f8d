#include "tablebase_ui/tzdialog.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QtMath>
#include <QScreen>
#include <QStyle>
#include <QWindow>

#include <algorithm>
#include <array>

#include "tablebase/engineui.h"

namespace {

struct DialogModule {
  DialogOptions options;
  // The last dialog's caption, buttons and icon code; the pointers go null
  // when that dialog is freed.
  QString caption;
  std::array<QPointer<QPushButton>, kMaxDialogButtons> buttons;
  QPointer<QLabel> picture;
  QPointer<QLabel> icon;
  QString iconCode;
};

QRect ScreenRect() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->geometry() : QRect();
}

DialogOptions StartOptions() {
  DialogOptions o;
  o.AreaRight = ScreenRect().width();
  o.AreaBottom = ScreenRect().height();
  return o;
}

DialogModule& Module() {
  static DialogModule module{StartOptions(), {}, {}, {}, {}, {}};
  return module;
}

// Windows colour (0x00BBGGRR) to Qt.
QColor FromColorRef(uint32_t c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

// The first `n` characters of UTF-8 text.
std::string CutChars(const std::string& utf8, int n) {
  const QString s = QString::fromStdString(utf8);
  if (s.size() <= n) return utf8;
  int cut = n;
  if (cut > 0 && s.at(cut - 1).isHighSurrogate()) --cut;
  return s.left(cut).toStdString();
}

QString TrimLeft(const QString& s) {
  int i = 0;
  while (i < s.size() && s.at(i) <= QChar(' ')) ++i;
  return s.mid(i);
}

QString TrimRight(const QString& s) {
  int n = s.size();
  while (n > 0 && s.at(n - 1) <= QChar(' ')) --n;
  return s.left(n);
}

// The larger of two sizes compared as unsigned 16-bit numbers, as the
// window library compares them.
int Max16(int a, int b) { return uint16_t(a) > uint16_t(b) ? a : b; }

bool StyleIsEmpty(const QFont& f) { return !f.bold() && !f.italic() && !f.underline() && !f.strikeOut(); }

struct IconKind {
  QChar code;
  uint16_t sound;
};
constexpr IconKind kIcons[] = {
    {'A', MB_BEEP_SIMPLE}, {'H', MB_ICONHAND}, {'I', MB_ICONASTERISK}, {'!', MB_ICONEXCLAMATION}, {'?', MB_ICONQUESTION},
};

const IconKind* FindIcon(const QString& code) {
  if (code.size() != 1) return nullptr;
  for (const auto& k : kIcons)
    if (k.code == code.at(0)) return &k;
  return nullptr;
}

QPixmap IconPixmap(QChar code, const QStyle* style) {
  QIcon icon;
  switch (code.unicode()) {
    case 'A':
      icon = QApplication::windowIcon();
      if (icon.isNull()) icon = style->standardIcon(QStyle::SP_DesktopIcon);
      break;
    case 'H': icon = style->standardIcon(QStyle::SP_MessageBoxCritical); break;
    case 'I': icon = style->standardIcon(QStyle::SP_MessageBoxInformation); break;
    case '!': icon = style->standardIcon(QStyle::SP_MessageBoxWarning); break;
    default: icon = style->standardIcon(QStyle::SP_MessageBoxQuestion); break;
  }
  return icon.pixmap(32, 32);
}

// The letter a caption answers with: the one after the first "&", else the
// first one, upper-cased. A caption ending in "&" has no letter after it
// and answers with its first letter.
std::string AcceleratorLetter(const QString& caption) {
  const QString up = caption.toUpper();
  qsizetype at = up.indexOf('&');
  at = (at >= 0 && at + 1 < up.size()) ? at + 1 : 0;
  if (at >= up.size()) return " ";
  const int len = (up.at(at).isHighSurrogate() && at + 1 < up.size()) ? 2 : 1;
  return up.mid(at, len).toStdString();
}

}  // namespace

TDialogForm::TDialogForm(bool captionless)
    : QDialog(nullptr, captionless ? Qt::Dialog | Qt::FramelessWindowHint
                                   : Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      captionless_(captionless) {}

void TDialogForm::Fit(QSize client, bool limitHeight, const QRect& area) {
  client_ = client;
  limitHeight_ = limitHeight;
  area_ = area;
  placedWith_ = FrameMargins();
  const int frameWidth = placedWith_.left() + placedWith_.right();
  const int frameHeight = placedWith_.top() + placedWith_.bottom();
  if (area.width() < client.width() + frameWidth) client.setWidth(area.width() - frameWidth);
  if (limitHeight && area.height() < client.height() + frameHeight) client.setHeight(area.height() - frameHeight);
  Arrange(client);
  move(area.left() + (area.width() - client.width() - frameWidth) / 2,
       area.top() + (area.height() - client.height() - frameHeight) / 2);
}

void TDialogForm::Arrange(QSize client) {
  setFixedSize(client);
  const int width = client.width();
  const auto* icon = findChild<QLabel*>("Icon", Qt::FindDirectChildrenOnly);
  if (auto* text = findChild<QLabel*>("Message", Qt::FindDirectChildrenOnly))
    text->move(Max16((icon ? icon->width() : 0) + 20, (width - text->width()) / 2), 10);
  if (auto* picture = findChild<QLabel*>("Picture", Qt::FindDirectChildrenOnly))
    picture->move(width - 10 - picture->width(), 10);
  QList<QPushButton*> buttons;
  for (int i = 1; auto* b = findChild<QPushButton*>(QString("button%1").arg(i), Qt::FindDirectChildrenOnly); ++i)
    buttons.push_back(b);
  int row = -10;
  for (const QPushButton* b : buttons) row += b->width() + 10;
  int x = (width - row) / 2;
  for (QPushButton* b : buttons) {
    b->move(x, client.height() - 10 - b->height());
    x += b->width() + 10;
  }
}

QMargins TDialogForm::FrameMargins() const {
  const QRect f = frameGeometry();
  const QRect g = geometry();
  return QMargins(g.left() - f.left(), g.top() - f.top(), f.right() - g.right(), f.bottom() - g.bottom());
}

void TDialogForm::Place() {
  if (isVisible() && FrameMargins() != placedWith_) Fit(client_, limitHeight_, area_);
}

void TDialogForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  Place();
}

void TDialogForm::moveEvent(QMoveEvent* event) {
  QDialog::moveEvent(event);
  Place();
}

void TDialogForm::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  if (!captionless_) return;
  // Without a title bar the window manager draws no frame: the thin
  // border is ours.
  QPainter p(this);
  p.setPen(Qt::black);
  p.drawRect(rect().adjusted(0, 0, -1, -1));
}

void SetDialogOptions(const DialogOptions& options) {
  DialogOptions& o = Module().options;
  o.DefaultCaption = CutChars(options.DefaultCaption, 80);
  o.PictureFile = CutChars(options.PictureFile, 70);
  for (auto [from, to] : {std::pair{options.TextColor, &o.TextColor}, {options.BackColor, &o.BackColor},
                          {options.ButtonTextColor, &o.ButtonTextColor}, {options.SpareColor, &o.SpareColor}})
    if (from != 0) *to = from;
  o.Font = options.Font;
  const QRect screen = ScreenRect();
  o.AreaLeft = std::max(options.AreaLeft, 0);
  o.AreaRight = std::min(options.AreaRight, screen.width());
  o.AreaTop = std::max(options.AreaTop, 0);
  o.AreaBottom = std::min(options.AreaBottom, screen.height());
  o.Beep = options.Beep;
}

void GetDialogOptions(DialogOptions& options) { options = Module().options; }

void ResetDialogOptions() { Module().options = StartOptions(); }

std::unique_ptr<TDialogForm> BuildMessageDialog(const std::string& caption, const std::string& iconCode,
                                                const std::string& message, std::string& buttons) {
  DialogModule& m = Module();
  const DialogOptions& opt = m.options;

  const QString buttonList = QString::fromStdString(buttons);
  if (TrimRight(buttonList).isEmpty()) buttons = "&OK";

  QString cap = TrimLeft(QString::fromStdString(caption));
  if (cap.isEmpty()) cap = QString::fromStdString(opt.DefaultCaption);
  m.caption = cap;

  QString text = QString::fromStdString(message);
  const qsizetype centre = text.indexOf(" CENTERTEXT", 0, Qt::CaseInsensitive);
  if (centre >= 0) text.remove(centre, 11);
  text.replace("\r\n", ";").replace("\n\r", ";").replace('\n', ';').replace('\r', ';');

  auto form = std::make_unique<TDialogForm>(cap.isEmpty());
  QFont font("System");
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  font.setBold(true);
  if (opt.Font) {
    const QFont& f = *opt.Font;
    if (!f.family().isEmpty()) font.setFamily(f.family());
    if (f.pointSize() > 0)
      font.setPointSize(f.pointSize());
    else if (f.pixelSize() > 0)
      font.setPixelSize(f.pixelSize());
    if (StyleIsEmpty(f)) font.setBold(false);
  }
  form->setFont(font);
  QPalette pal = form->palette();
  pal.setColor(QPalette::WindowText, FromColorRef(opt.TextColor));
  pal.setColor(QPalette::Window, FromColorRef(opt.BackColor));
  form->setPalette(pal);
  form->setAutoFillBackground(true);
  form->setWindowTitle(cap);

  QPixmap picture;
  if (!opt.PictureFile.empty()) {
    const QString path = QString::fromStdString(opt.PictureFile);
    if (QFileInfo(path).isFile()) picture.load(path);
  }
  const bool hasPicture = !picture.isNull();
  const int pictureWidth = hasPicture ? picture.width() : 0;
  const int pictureHeight = hasPicture ? picture.height() : 0;

  const QFontMetrics fm(font);
  const QString code = QString::fromStdString(iconCode).left(1).toUpper();
  const IconKind* iconKind = FindIcon(code);
  const int iconSize = iconKind ? 32 : 0;

  const QStringList lines = text.split(';');
  int textWidth = 0;
  for (const QString& line : lines) textWidth = std::max(textWidth, fm.horizontalAdvance("  " + line + "  "));
  const int areaWidth = opt.AreaRight - opt.AreaLeft;
  const int areaHeight = opt.AreaBottom - opt.AreaTop;
  int margin = 10 + (iconKind ? iconSize + 10 : 0) + (hasPicture ? 10 + pictureWidth : 0) + 10;
  if (areaWidth < margin) margin = areaWidth;
  const bool narrowed = areaWidth - margin < textWidth;
  if (narrowed) textWidth = areaWidth - margin;
  // The height of a line is the label's own line step, which rounds up
  // the font's fractional height; lines wider than the area wrap, and the
  // block grows to hold them, so no line is cut off.
  auto* label = new QLabel(form.get());
  label->setObjectName("Message");
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(true);
  label->setText(lines.join('\n'));
  int textHeight = int(lines.size()) * qCeil(QFontMetricsF(font).lineSpacing());
  if (narrowed) textHeight = std::max(textHeight, label->heightForWidth(std::max(textWidth, 1)));
  const int captionWidth = fm.horizontalAdvance(cap);

  QStringList words = QString::fromStdString(buttons).split(' ', Qt::SkipEmptyParts);
  if (words.size() > kMaxDialogButtons) words = words.mid(0, kMaxDialogButtons);
  int buttonWidth = 0;
  for (const QString& w : words) buttonWidth = std::max(buttonWidth, fm.horizontalAdvance("W" + QString(w).remove('&') + "W"));
  const int count = int(words.size());
  const int rowWidth = (buttonWidth + 10) * count - 10;
  const int buttonHeight = fm.height() + 10;

  // The client size before the placement area limits the whole window:
  // the frame belongs to the window manager and is unknown before the
  // window is shown, so Fit counts it then.
  int clientWidth;
  if (!iconKind && !hasPicture)
    clientWidth = Max16(textWidth, captionWidth);
  else if (!hasPicture)
    clientWidth = Max16(textWidth + iconSize + 10, captionWidth);
  else if (!iconKind)
    clientWidth = Max16(textWidth + 10 + pictureWidth, captionWidth);
  else
    clientWidth = Max16(textWidth + iconSize + 20 + pictureWidth, captionWidth);
  clientWidth = Max16(clientWidth, rowWidth) + 20;
  const int clientHeight = Max16(Max16(textHeight, iconSize), pictureHeight) + 20 + buttonHeight + 10;
  label->resize(textWidth, textHeight);

  m.picture = nullptr;
  if (hasPicture) {
    auto* image = new QLabel(form.get());
    image->setObjectName("Picture");
    image->setPixmap(picture);
    image->resize(pictureWidth, pictureHeight);
    m.picture = image;
  }
  m.icon = nullptr;
  m.iconCode.clear();
  if (iconKind) {
    auto* image = new QLabel(form.get());
    image->setObjectName("Icon");
    image->setPixmap(IconPixmap(iconKind->code, form->style()));
    image->setGeometry(10, 10, iconSize, iconSize);
    m.icon = image;
    m.iconCode = code;
  }
  form->setProperty("iconCode", m.iconCode);

  for (int i = 0; i < kMaxDialogButtons; ++i) {
    if (i >= count) {
      m.buttons[i] = nullptr;
      continue;
    }
    auto* button = new QPushButton(words[i], form.get());
    button->setObjectName(QString("button%1").arg(i + 1));
    button->resize(buttonWidth, buttonHeight);
    QPalette bp = button->palette();
    bp.setColor(QPalette::ButtonText, FromColorRef(opt.ButtonTextColor));
    button->setPalette(bp);
    QObject::connect(button, &QPushButton::clicked, form.get(), [dialog = form.get(), i] { dialog->done(i + 1); });
    m.buttons[i] = button;
  }
  // Within the placement area and centred in it, whichever window asks:
  // with the whole screen as the area, in the middle of the screen.
  form->Fit(QSize(clientWidth, clientHeight), areaHeight == ScreenRect().height(),
            QRect(opt.AreaLeft, opt.AreaTop, areaWidth, areaHeight));
  return form;
}

std::string ShowMessageDialog(const std::string& caption, const std::string& iconCode, const std::string& message,
                              const std::string& buttons) {
  std::string list = buttons;
  // An hourglass set by long-running work must not hide the pointer over
  // the question; the caller gets it back on every way out.
  ScreenCursorScope arrow(false);
  std::unique_ptr<TDialogForm> form = BuildMessageDialog(caption, iconCode, message, list);
  DialogModule& m = Module();
  if (m.options.Beep) {
    if (const IconKind* kind = FindIcon(m.iconCode)) Ui().MessageBeep(kind->sound);
  }
  if (QWidget* active = QApplication::activeWindow()) {
    form->winId();
    form->windowHandle()->setTransientParent(active->windowHandle());
  }
  const int result = form->exec();
  // The answer comes from this dialog's own button: a question asked by a
  // handler while this one was open has refilled the module's slots.
  if (result >= 1 && result <= kMaxDialogButtons) {
    const QString name = QString("button%1").arg(result);
    if (const auto* button = form->findChild<QPushButton*>(name, Qt::FindDirectChildrenOnly))
      return AcceleratorLetter(button->text());
  }
  return " ";
}
