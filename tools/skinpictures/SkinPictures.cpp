#include "tools/skinpictures/SkinPictures.h"

#include <QFontDatabase>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace skinpictures {

namespace {

// The game's colours: night steel with a gold edge.
const QColor kDeep(0x16, 0x1e, 0x28);
const QColor kSteel(0x1d, 0x27, 0x33);
const QColor kSteelLight(0x2c, 0x3b, 0x4d);
const QColor kLine(0x3a, 0x4a, 0x5c);
const QColor kGold(213, 186, 17);
const QColor kGoldLight(0xf2, 0xd7, 0x4e);
const QColor kGoldDark(0x8a, 0x72, 0x0a);
const QColor kText(0xef, 0xef, 0xef);
const QColor kMagenta(255, 0, 255);  // the buttons' transparent colour

enum class Kind { kStrip, kSide, kPanel, kButton, kBox, kBarTile, kBarBack, kGraph, kIcon };
enum class Look { kIn, kOut, kDisabled };

struct Spec {
  int id;
  Kind kind;
  int width;
  int height;
  Look look = Look::kOut;
  const char16_t* caption = u"";
  bool flag = false;  // strips: the top one; boxes: checked
};

const Spec kSpecs[] = {
    {128, Kind::kIcon, 64, 64},
    {164, Kind::kButton, 65, 22, Look::kIn, u"瀏覽"},
    {165, Kind::kButton, 65, 22, Look::kOut, u"瀏覽"},
    {166, Kind::kButton, 65, 22, Look::kDisabled, u"瀏覽"},
    {171, Kind::kButton, 110, 24, Look::kOut, u"關閉"},
    {172, Kind::kButton, 110, 24, Look::kDisabled, u"關閉"},
    {173, Kind::kButton, 110, 24, Look::kIn, u"關閉"},
    {174, Kind::kButton, 110, 24, Look::kOut, u"開始"},
    {175, Kind::kButton, 110, 24, Look::kDisabled, u"開始"},
    {176, Kind::kButton, 110, 24, Look::kIn, u"開始"},
    {177, Kind::kBox, 13, 13, Look::kOut, u"", false},
    {178, Kind::kBox, 13, 13, Look::kIn, u"", true},
    {179, Kind::kBarTile, 4, 16},
    {180, Kind::kBarBack, 286, 18},
    {187, Kind::kStrip, 748, 21, Look::kOut, u"", true},
    {188, Kind::kStrip, 748, 21, Look::kOut, u"", false},
    {189, Kind::kSide, 21, 396},
    {190, Kind::kPanel, 385, 396},
    {191, Kind::kButton, 110, 24, Look::kIn, u"停止"},
    {192, Kind::kButton, 110, 24, Look::kOut, u"停止"},
    {193, Kind::kButton, 110, 24, Look::kDisabled, u"停止"},
    {197, Kind::kButton, 110, 24, Look::kIn, u"安裝"},
    {198, Kind::kButton, 110, 24, Look::kDisabled, u"安裝"},
    {199, Kind::kButton, 110, 24, Look::kOut, u"安裝"},
    {200, Kind::kGraph, 342, 69},
};

const Spec* Find(int id) {
  for (const Spec& spec : kSpecs) {
    if (spec.id == id) return &spec;
  }
  return nullptr;
}

QString Family() {
  static const QString family = [] {
    const int font = QFontDatabase::addApplicationFont(FontFile());
    const QStringList families = font < 0 ? QStringList() : QFontDatabase::applicationFontFamilies(font);
    return families.isEmpty() ? QString() : families.front();
  }();
  return family;
}

QFont CaptionFont(int pixelSize, bool bold) {
  QFont font(Family());
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  font.setHintingPreference(QFont::PreferFullHinting);
  return font;
}

QLinearGradient Vertical(int height, QColor top, QColor bottom) {
  QLinearGradient gradient(0, 0, 0, height);
  gradient.setColorAt(0, top);
  gradient.setColorAt(1, bottom);
  return gradient;
}

void DrawStrip(QPainter& p, const Spec& s) {
  p.fillRect(0, 0, s.width, s.height, Vertical(s.height, kSteelLight, kSteel));
  p.fillRect(0, s.flag ? s.height - 1 : 0, s.width, 1, kGold);
  if (!s.flag) return;
  p.setFont(CaptionFont(12, true));
  p.setPen(kText);
  p.drawText(QRect(10, 0, 300, s.height - 1), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("ORBA Downloader"));
}

void DrawSide(QPainter& p, const Spec& s) {
  p.fillRect(0, 0, s.width, s.height, kSteel);
  p.fillRect(s.width - 1, 0, 1, s.height, kGoldDark);
}

void DrawPanel(QPainter& p, const Spec& s) {
  p.fillRect(0, 0, s.width, s.height, Vertical(s.height, kSteel, kDeep));
  p.fillRect(0, 0, 1, s.height, kGoldDark);
  // Boxes behind the groups of labels: the sizes, the times, the graph, the bars, the folder.
  p.setPen(kLine);
  p.setBrush(QColor(0x12, 0x19, 0x22));
  const QRect groups[] = {
      {14, 3, 357, 84}, {14, 104, 357, 42}, {14, 148, 357, 99}, {14, 254, 357, 70}, {14, 330, 357, 30}};
  for (const QRect& group : groups) p.drawRect(group);
  p.setFont(CaptionFont(11, false));
  p.setPen(QColor(0x9a, 0xa8, 0xb8));
  p.drawText(QRect(20, 104, 70, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("經過時間"));
  p.drawText(QRect(194, 104, 70, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("剩餘時間"));
  p.drawText(QRect(20, 262, 56, 18), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("檔案"));
  p.drawText(QRect(20, 292, 56, 18), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("全部"));
}

void DrawButton(QPainter& p, const Spec& s) {
  p.fillRect(0, 0, s.width, s.height, kMagenta);
  QColor top = kGoldLight;
  QColor bottom = kGold;
  QColor edge = kGoldDark;
  QColor text = kDeep;
  if (s.look == Look::kOut) {
    top = kGold;
    bottom = kGoldDark;
  } else if (s.look == Look::kDisabled) {
    top = QColor(0x6a, 0x70, 0x78);
    bottom = QColor(0x4a, 0x50, 0x58);
    edge = QColor(0x3a, 0x40, 0x48);
    text = QColor(0x9a, 0xa0, 0xa8);
  }
  // The shape without smoothing, so that no edge pixel mixes with the transparent colour.
  p.setRenderHint(QPainter::Antialiasing, false);
  const QRect body(1, 0, s.width - 2, s.height);
  p.fillRect(body, Vertical(s.height, top, bottom));
  p.fillRect(0, 1, s.width, s.height - 2, Vertical(s.height, top, bottom));
  p.setPen(edge);
  p.drawLine(1, 0, s.width - 2, 0);
  p.drawLine(1, s.height - 1, s.width - 2, s.height - 1);
  p.drawLine(0, 1, 0, s.height - 2);
  p.drawLine(s.width - 1, 1, s.width - 1, s.height - 2);
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setFont(CaptionFont(13, true));
  p.setPen(text);
  p.drawText(QRect(0, 0, s.width, s.height), Qt::AlignCenter, QString::fromUtf16(s.caption));
}

void DrawBox(QPainter& p, const Spec& s) {
  p.fillRect(0, 0, s.width, s.height, QColor(0x12, 0x19, 0x22));
  p.setPen(kGold);
  p.drawRect(0, 0, s.width - 1, s.height - 1);
  if (!s.flag) return;
  p.setRenderHint(QPainter::Antialiasing, true);
  QPen pen(kGoldLight, 2);
  p.setPen(pen);
  QPainterPath tick;
  tick.moveTo(3, 6.5);
  tick.lineTo(5.5, 9);
  tick.lineTo(10, 3.5);
  p.drawPath(tick);
}

void DrawBarTile(QPainter& p, const Spec& s) {
  QLinearGradient gradient = Vertical(s.height, kGoldLight, kGoldDark);
  gradient.setColorAt(0.45, kGold);
  p.fillRect(0, 0, s.width, s.height, gradient);
  p.fillRect(s.width - 1, 0, 1, s.height, QColor(0xb0, 0x98, 0x10));
}

void DrawBarBack(QPainter& p, const Spec& s) {
  p.fillRect(0, 0, s.width, s.height, QColor(0x10, 0x16, 0x1d));
  p.setPen(kLine);
  p.drawRect(0, 0, s.width - 1, s.height - 1);
}

void DrawGraph(QPainter& p, const Spec& s) {
  p.fillRect(0, 0, s.width, s.height, QColor(0x1b, 0x22, 0x2b));
  p.setPen(QColor(0x2c, 0x36, 0x42));
  for (int quarter = 1; quarter < 4; ++quarter)
    p.drawLine(0, s.height * quarter / 4, s.width, s.height * quarter / 4);
  for (int x = 40; x < s.width; x += 40) p.drawLine(x, 0, x, s.height);
  p.setPen(kLine);
  p.drawRect(0, 0, s.width - 1, s.height - 1);
}

void DrawIcon(QPainter& p, const Spec& s) {
  p.fillRect(0, 0, s.width, s.height, Qt::transparent);
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(Qt::NoPen);
  p.setBrush(kSteel);
  p.drawRoundedRect(QRectF(2, 2, s.width - 4, s.height - 4), 12, 12);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(kGold, 7));
  p.drawEllipse(QRectF(15, 15, 34, 34));
  p.setPen(QPen(kGoldLight, 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(32, 22), QPointF(32, 40));
  p.drawLine(QPointF(25, 34), QPointF(32, 41));
  p.drawLine(QPointF(39, 34), QPointF(32, 41));
}

}  // namespace

std::vector<int> Ids() {
  std::vector<int> ids;
  for (const Spec& spec : kSpecs) ids.push_back(spec.id);
  return ids;
}

QString FontFile() { return QStringLiteral("/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"); }

QString FileName(int id, int scale) {
  return scale == 2 ? QStringLiteral("%1@2x.png").arg(id) : QStringLiteral("%1.png").arg(id);
}

QImage Draw(int id, int scale) {
  const Spec* spec = Find(id);
  if (spec == nullptr || (scale != 1 && scale != 2) || Family().isEmpty()) return QImage();
  const QImage::Format format = spec->kind == Kind::kIcon ? QImage::Format_ARGB32 : QImage::Format_RGB32;
  QImage image(spec->width * scale, spec->height * scale, format);
  image.fill(spec->kind == Kind::kIcon ? QColor(Qt::transparent) : kMagenta);
  QPainter painter(&image);
  painter.scale(scale, scale);
  painter.setRenderHint(QPainter::TextAntialiasing, true);
  switch (spec->kind) {
    case Kind::kStrip:
      DrawStrip(painter, *spec);
      break;
    case Kind::kSide:
      DrawSide(painter, *spec);
      break;
    case Kind::kPanel:
      DrawPanel(painter, *spec);
      break;
    case Kind::kButton:
      DrawButton(painter, *spec);
      break;
    case Kind::kBox:
      DrawBox(painter, *spec);
      break;
    case Kind::kBarTile:
      DrawBarTile(painter, *spec);
      break;
    case Kind::kBarBack:
      DrawBarBack(painter, *spec);
      break;
    case Kind::kGraph:
      DrawGraph(painter, *spec);
      break;
    case Kind::kIcon:
      DrawIcon(painter, *spec);
      break;
  }
  painter.end();
  return image;
}

}  // namespace skinpictures
