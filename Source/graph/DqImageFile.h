// Graph pictures as files: JPEG, BMP and PNG through Qt's writers, GIF
// through giflib (Qt has no GIF writer). A file is written whole or not at
// all.
#pragma once

#include <QString>

class QImage;

enum class TDqImageFormat { JPEG = 1, BMP = 2, PNG = 3, GIF = 4 };

// The format of a save-dialog filter number (1 JPEG .. 4 GIF); JPEG for
// anything else.
TDqImageFormat ImageFormatOfFilter(int AFilterIndex);
// Raises EDqException when the file cannot be written.
void SaveImageFile(const QImage& AImage, const QString& AFileName, TDqImageFormat AFormat);
