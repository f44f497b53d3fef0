// UTF-16 text to and from SQLite's 16-bit calls, for the files of the
// SQLite layer.
#pragma once

#include <QString>

namespace DqSQLiteText {

inline const void* Utf16(const QString& AText) { return AText.utf16(); }
inline int Utf16Bytes(const QString& AText) { return static_cast<int>(AText.size() * 2); }

// ABytes is a length in bytes, as SQLite gives it.
inline QString FromUtf16(const void* AText, int ABytes) {
  if (!AText) return QString();
  return QString(reinterpret_cast<const QChar*>(AText), ABytes / 2);
}

inline QString FromUtf16Z(const void* AText) {
  if (!AText) return QString();
  return QString::fromUtf16(static_cast<const char16_t*>(AText));
}

} // namespace DqSQLiteText
