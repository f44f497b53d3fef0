// Renders the program icon (tervox.svg) to the PNG sizes of the desktop's
// icon theme: OUTDIR/<n>x<n>/apps/tervox.png.
// Usage: tervox-icons SVG OUTDIR SIZE...
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QStringList args = QCoreApplication::arguments();
  if (args.size() < 4) {
    std::fprintf(stderr, "usage: tervox-icons SVG OUTDIR SIZE...\n");
    return 2;
  }
  QSvgRenderer renderer(args.at(1));
  if (!renderer.isValid()) {
    std::fprintf(stderr, "tervox-icons: cannot read %s\n", qPrintable(args.at(1)));
    return 1;
  }
  for (const QString& size : args.mid(3)) {
    const int pixels = size.toInt();
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
      QPainter painter(&image);
      painter.setRenderHint(QPainter::Antialiasing);
      renderer.render(&painter, QRectF(0, 0, pixels, pixels));
    }
    const QString folder = QStringLiteral("%1/%2x%2/apps").arg(args.at(2)).arg(pixels);
    if (!QDir().mkpath(folder) || !image.convertToFormat(QImage::Format_ARGB32).save(folder + QStringLiteral("/tervox.png"))) {
      std::fprintf(stderr, "tervox-icons: cannot write %s\n", qPrintable(folder));
      return 1;
    }
  }
  return 0;
}
