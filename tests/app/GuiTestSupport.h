#pragma once
// What the window tests share: one QApplication on the offscreen platform for the whole program,
// per-user folders of its own, and waiting on the event loop for a condition.

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <functional>
#include <ostream>

class QWidget;

namespace guitest {

// testsupport::WaitUntil with the event loop pumped between polls.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 30000);
// Pumps the event loop for about `ms` milliseconds.
void Pump(int ms);
// Gives `widget` a background of one colour (a parent whose pixels a child should show).
void PaintBackground(QWidget& widget, const QColor& colour);

}  // namespace guitest

// Readable values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QRect& rect, std::ostream* out) {
  *out << "QRect(" << rect.x() << ", " << rect.y() << ", " << rect.width() << ", " << rect.height() << ")";
}
inline void PrintTo(const QSize& size, std::ostream* out) {
  *out << "QSize(" << size.width() << ", " << size.height() << ")";
}
inline void PrintTo(const QPoint& point, std::ostream* out) {
  *out << "QPoint(" << point.x() << ", " << point.y() << ")";
}
inline void PrintTo(const QColor& color, std::ostream* out) { *out << color.name().toStdString(); }
