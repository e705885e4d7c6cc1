// fdr-plot: draws a flight data file (fdr%03i.dat) as a PNG image a player can open: altitude,
// speed and the three attitude rates against time, with the recorded events marked.
//
//   fdr-plot FILE [IMAGE.png]      (the image defaults to FILE with .png)
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "axis.h"
#include "fdr_file.h"

using talmeris::fdrplot::Record;

namespace {

constexpr int kWidth = 1100, kHeight = 840, kLeft = 80, kRight = 30, kTop = 50;
constexpr double kTwoPi = 6.283185;

struct Series {
  const char* name;
  QColor color;
  std::function<double(const Record&)> value;
};

// A label in its box, in a smaller font when the text would not fit (very large values).
void Label(QPainter& p, const QRectF& box, int align, const QString& text) {
  const QFont font = p.font();
  const double needed = p.fontMetrics().horizontalAdvance(text);
  if (needed > box.width()) {
    QFont smaller = font;
    smaller.setPixelSize(std::max(6, static_cast<int>(font.pixelSize() * box.width() / needed)));
    p.setFont(smaller);
  }
  p.drawText(box, align, text);
  p.setFont(font);
}

// One panel: its series against time, with a scale, grid lines and the event marks.
void Panel(QPainter& p, const QRect& area, const char* title, const char* unit,
           const std::vector<Record>& records, const std::vector<Series>& series) {
  // The times need not rise (a file written by hand, or damaged): the scale spans them all.
  double t0 = records.front().time, t1 = t0;
  for (const auto& r : records) {
    t0 = std::min<double>(t0, r.time);
    t1 = std::max<double>(t1, r.time);
  }
  t1 = std::max(t1, t0 + 1);
  double lo = 1e300, hi = -1e300;
  for (const auto& r : records) {
    for (const auto& s : series) {
      lo = std::min(lo, s.value(r));
      hi = std::max(hi, s.value(r));
    }
  }
  if (hi - lo < 1e-9 * std::max(1.0, std::fabs(hi))) {
    const double half = std::max(1.0, std::fabs(hi) * 1e-3);
    lo -= half;
    hi += half;
  }
  const double pad = (hi - lo) * 0.08;
  lo -= pad;
  hi += pad;
  auto x = [&](double t) { return area.left() + (t - t0) / (t1 - t0) * area.width(); };
  auto y = [&](double v) { return area.bottom() - (v - lo) / (hi - lo) * area.height(); };

  for (const auto& tick : talmeris::fdrplot::AxisTicks(lo, hi, 4)) {
    p.setPen(QColor(220, 220, 220));
    p.drawLine(QPointF(area.left(), y(tick.value)), QPointF(area.right(), y(tick.value)));
    p.setPen(Qt::black);
    Label(p, QRectF(0, y(tick.value) - 8, kLeft - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
          QString::fromStdString(tick.label));
  }
  p.save();
  p.setClipRect(area);
  // Events: a dashed mark with the code at the time its line recorded it.
  for (const auto& r : records) {
    if (r.event == 0) continue;
    p.setPen(QPen(QColor(200, 60, 60), 1, Qt::DashLine));
    p.drawLine(QPointF(x(r.time), area.top()), QPointF(x(r.time), area.bottom()));
    p.drawText(QPointF(x(r.time) + 3, area.top() + 12), QString("ev %1").arg(r.event));
  }
  for (const auto& s : series) {
    QPainterPath path;
    bool first = true;
    int last_time = 0;
    for (const auto& r : records) {
      const QPointF point(x(r.time), y(s.value(r)));
      // A gap of more than a second (no samples) is left open.
      if (first || r.time - last_time > 1) {
        path.moveTo(point);
      } else {
        path.lineTo(point);
      }
      first = false;
      last_time = r.time;
    }
    p.setPen(QPen(s.color, 1.6));
    p.drawPath(path);
  }
  p.restore();
  p.setPen(Qt::black);
  p.drawRect(area);
  for (const auto& tick : talmeris::fdrplot::AxisTicks(t0, t1, 5, 1)) {  // time, under each panel
    Label(p, QRectF(x(tick.value) - 40, area.bottom() + 2, 80, 14), Qt::AlignHCenter,
          QString::fromStdString(tick.label));
  }
  p.drawText(QPointF(area.left(), area.top() - 6), QString("%1 (%2)").arg(title, unit));
  int legend = area.right() - 10;
  for (auto it = series.rbegin(); it != series.rend(); ++it) {
    const int w = p.fontMetrics().horizontalAdvance(it->name) + 26;
    legend -= w;
    p.setPen(QPen(it->color, 3));
    p.drawLine(legend, area.top() - 10, legend + 16, area.top() - 10);
    p.setPen(Qt::black);
    p.drawText(QPointF(legend + 20, area.top() - 6), it->name);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::printf("fdr-plot %s\n", TALMERIS_VERSION);
    return 0;
  }
  constexpr const char* kUsage = "usage: fdr-plot FILE [IMAGE.png]\n";
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  bool unknown_option = false;
  for (int i = 1; i < argc; ++i) unknown_option = unknown_option || argv[i][0] == '-';
  if (argc < 2 || argc > 3 || unknown_option) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QGuiApplication app(argc, argv);
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "fdr-plot: cannot read %s\n", argv[1]);
    return 1;
  }
  const auto records = talmeris::fdrplot::ReadRecords(in);
  if (records.empty()) {
    std::fprintf(stderr, "fdr-plot: %s holds no records\n", argv[1]);
    return 1;
  }
  std::string out = argc == 3 ? argv[2] : std::string(argv[1]) + ".png";

  QImage image(kWidth, kHeight, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QFont font = p.font();
  font.setPixelSize(12);
  p.setFont(font);
  p.drawText(QPointF(kLeft, 24), QString("%1: %2 records, %3 s to %4 s")
                                     .arg(argv[1])
                                     .arg(records.size())
                                     .arg(records.front().time)
                                     .arg(records.back().time));
  const int plot_width = kWidth - kLeft - kRight, panel = 210, gap = 50;
  auto area = [&](int i) { return QRect(kLeft, kTop + 20 + i * (panel + gap), plot_width, panel); };
  Panel(p, area(0), "altitude", "km MSL", records,
        {{"altitude", QColor(30, 90, 200), [](const Record& r) { return r.altitude_km; }}});
  Panel(p, area(1), "speed", "km/s", records, {{"speed", QColor(20, 150, 80), [](const Record& r) {
                                                  return std::sqrt(r.velocity[0] * r.velocity[0] +
                                                                   r.velocity[1] * r.velocity[1] +
                                                                   r.velocity[2] * r.velocity[2]);
                                                }}});
  auto rate = [](int i) { return [i](const Record& r) { return r.rates[i] / 32767.0 * kTwoPi; }; };
  Panel(p, area(2), "attitude rates", "rad/s", records,
        {{"pitch", QColor(200, 120, 20), rate(1)},
         {"roll", QColor(120, 40, 170), rate(2)},
         {"yaw", QColor(20, 140, 160), rate(0)}});
  p.drawText(QRectF(kLeft, kHeight - 20, plot_width, 20), Qt::AlignHCenter, "time (s)");
  p.end();
  if (!image.save(QString::fromStdString(out), "PNG")) {
    std::fprintf(stderr, "fdr-plot: cannot write %s\n", out.c_str());
    return 1;
  }
  std::printf("%s\n", out.c_str());
  return 0;
}
