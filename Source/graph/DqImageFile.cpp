#include "DqImageFile.h"

#include "core/DqRoutine.h"

#include <QHash>
#include <QImage>
#include <QImageWriter>
#include <QSaveFile>

#include <gif_lib.h>

#include <vector>

namespace {

[[noreturn]] void RaiseSave(const QString& AFileName, const QString& AReason) {
  throw EDqException(QStringLiteral("Failed to save image \"%1\": %2").arg(AFileName, AReason));
}

int WriteToSaveFile(GifFileType* AGif, const GifByteType* AData, int ALength) {
  auto* file = static_cast<QSaveFile*>(AGif->UserData);
  return static_cast<int>(file->write(reinterpret_cast<const char*>(AData), ALength));
}

// A graph has few colours: they are kept exactly when there are at most
// 256; otherwise each pixel takes the nearest of 8 x 8 x 4 levels.
void IndexImage(const QImage& AImage, std::vector<GifColorType>& APalette, std::vector<GifPixelType>& APixels) {
  const int w = AImage.width(), h = AImage.height();
  APixels.resize(static_cast<std::size_t>(w) * h);
  QHash<QRgb, int> index;
  bool exact = true;
  for (int y = 0; y < h && exact; ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(AImage.constScanLine(y));
    for (int x = 0; x < w; ++x) {
      const QRgb c = line[x] & 0xFFFFFF;
      auto it = index.constFind(c);
      if (it == index.constEnd()) {
        if (index.size() == 256) {
          exact = false;
          break;
        }
        it = index.insert(c, index.size());
        APalette.push_back({static_cast<GifByteType>(qRed(c)), static_cast<GifByteType>(qGreen(c)),
                            static_cast<GifByteType>(qBlue(c))});
      }
      APixels[static_cast<std::size_t>(y) * w + x] = static_cast<GifPixelType>(*it);
    }
  }
  if (exact) return;
  APalette.clear();
  for (int i = 0; i < 256; ++i)
    APalette.push_back({static_cast<GifByteType>(((i >> 5) & 7) * 255 / 7),
                        static_cast<GifByteType>(((i >> 2) & 7) * 255 / 7), static_cast<GifByteType>((i & 3) * 255 / 3)});
  for (int y = 0; y < h; ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(AImage.constScanLine(y));
    for (int x = 0; x < w; ++x) {
      const QRgb c = line[x];
      const int r = (qRed(c) * 7 + 127) / 255, g = (qGreen(c) * 7 + 127) / 255, b = (qBlue(c) * 3 + 127) / 255;
      APixels[static_cast<std::size_t>(y) * w + x] = static_cast<GifPixelType>((r << 5) | (g << 2) | b);
    }
  }
}

void SaveGif(const QImage& AImage, QSaveFile& AFile) {
  const QImage image = AImage.convertToFormat(QImage::Format_RGB32);
  std::vector<GifColorType> palette;
  std::vector<GifPixelType> pixels;
  IndexImage(image, palette, pixels);
  int colors = 2;
  while (colors < static_cast<int>(palette.size())) colors *= 2;
  palette.resize(static_cast<std::size_t>(colors), GifColorType{0, 0, 0});
  int bits = 1;
  while ((1 << bits) < colors) ++bits;

  int error = 0;
  GifFileType* gif = EGifOpen(&AFile, WriteToSaveFile, &error);
  if (!gif) RaiseSave(AFile.fileName(), QString::fromLatin1(GifErrorString(error)));
  ColorMapObject* map = GifMakeMapObject(colors, palette.data());
  bool ok = map && EGifPutScreenDesc(gif, image.width(), image.height(), bits, 0, map) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, image.width(), image.height(), false, nullptr) == GIF_OK;
  for (int y = 0; ok && y < image.height(); ++y)
    ok = EGifPutLine(gif, pixels.data() + static_cast<std::size_t>(y) * image.width(), image.width()) == GIF_OK;
  const int lastError = gif->Error;
  GifFreeMapObject(map);
  int closeError = 0;
  if (EGifCloseFile(gif, &closeError) != GIF_OK) ok = false;
  if (!ok) RaiseSave(AFile.fileName(), QString::fromLatin1(GifErrorString(lastError ? lastError : closeError)));
}

} // namespace

TDqImageFormat ImageFormatOfFilter(int AFilterIndex) {
  switch (AFilterIndex) {
  case 2: return TDqImageFormat::BMP;
  case 3: return TDqImageFormat::PNG;
  case 4: return TDqImageFormat::GIF;
  default: return TDqImageFormat::JPEG;
  }
}

void SaveImageFile(const QImage& AImage, const QString& AFileName, TDqImageFormat AFormat) {
  if (AImage.isNull()) RaiseSave(AFileName, QStringLiteral("there is no picture"));
  QSaveFile file(AFileName);
  if (!file.open(QIODevice::WriteOnly)) RaiseSave(AFileName, file.errorString());
  if (AFormat == TDqImageFormat::GIF) {
    SaveGif(AImage, file);
  } else {
    const char* format = AFormat == TDqImageFormat::BMP ? "BMP" : AFormat == TDqImageFormat::PNG ? "PNG" : "JPEG";
    QImageWriter writer(&file, format);
    if (AFormat == TDqImageFormat::JPEG) writer.setQuality(90);
    if (!writer.write(AImage.convertToFormat(QImage::Format_RGB32))) RaiseSave(AFileName, writer.errorString());
  }
  if (!file.commit()) RaiseSave(AFileName, file.errorString());
}
