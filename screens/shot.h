// Writing a window to a PNG for the `screens` target. Offscreen there is no
// window manager, so the title bar is drawn here, plainly, above the
// window's client area: enough to see the caption and whether it fits.
#pragma once
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QWidget>

#include <cstdio>
#include <string>

namespace screens {

// `window` as it stands, with a title bar drawn above it when it has one.
inline QImage Framed(QWidget& window) {
  const QImage client = window.grab().toImage();
  const bool titled = !(window.windowFlags() & Qt::FramelessWindowHint) && window.windowFlags() & Qt::WindowTitleHint;
  const QFontMetrics fm(QApplication::font());
  const int bar = titled ? fm.height() + 8 : 0;
  const int frame = titled ? 2 : 0;
  QImage out(client.width() + 2 * frame, client.height() + bar + frame, QImage::Format_ARGB32);
  out.fill(QColor(0x40, 0x40, 0x70));
  QPainter p(&out);
  if (titled) {
    p.setPen(Qt::white);
    p.drawText(QRect(frame + 4, 0, client.width() - 8, bar), Qt::AlignVCenter | Qt::AlignLeft, window.windowTitle());
  }
  p.drawImage(frame, bar, client);
  return out;
}

// Writes `image` as <dir>/<name>.png and says so on stderr. Returns false
// when writing fails.
inline bool WritePng(const QImage& image, const QString& dir, const QString& name) {
  const QString path = dir + "/" + name + ".png";
  const bool ok = image.save(path);
  std::fprintf(stderr, "%s %s\n", ok ? "wrote" : "could not write", path.toUtf8().constData());
  return ok;
}

// Saves `window` (shown and painted first) as <dir>/<name>.png; a window
// with a title bar gets one drawn above it. Returns false when writing fails.
inline bool Save(QWidget& window, const QString& dir, const QString& name) {
  window.show();
  QCoreApplication::processEvents();
  return WritePng(Framed(window), dir, name);
}

// Where a renderer writes its pictures: its first argument, else here.
inline QString OutputDir(int argc, char** argv) {
  return argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString(".");
}

// Writes `bytes` to `path`, making its folders first: the files a picture's
// program tree holds.
inline void WriteFile(const QString& path, const QByteArray& bytes = {}) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(bytes);
}

}  // namespace screens
