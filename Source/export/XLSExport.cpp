#include "XLSExport.h"

#include "core/DqRoutine.h"

#include <QtEndian>

#include <iconv.h>

#include <array>
#include <cstring>
#include <mutex>

namespace {

void PutWord(QByteArray& AData, std::uint16_t AValue) {
  AData.append(static_cast<char>(AValue & 0xFF));
  AData.append(static_cast<char>(AValue >> 8));
}

void PutLong(QByteArray& AData, std::uint32_t AValue) {
  PutWord(AData, static_cast<std::uint16_t>(AValue & 0xFFFF));
  PutWord(AData, static_cast<std::uint16_t>(AValue >> 16));
}

// Code page 1250 byte of every UTF-16 code unit (0: none), built once from
// the C library's converter.
const std::array<std::uint8_t, 65536>& CodePage1250Table() {
  static std::array<std::uint8_t, 65536> table{};
  static std::once_flag once;
  std::call_once(once, [] {
    iconv_t cd = iconv_open("WINDOWS-1250", "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      for (int c = 1; c < 128; ++c) table[c] = static_cast<std::uint8_t>(c);
      return;
    }
    for (int c = 1; c < 65536; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      char in[2] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
      char out[8];
      char* inPtr = in;
      char* outPtr = out;
      std::size_t inLeft = 2;
      std::size_t outLeft = sizeof(out);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) && outPtr - out == 1)
        table[c] = static_cast<std::uint8_t>(out[0]);
    }
    iconv_close(cd);
  });
  return table;
}

} // namespace

QByteArray EncodeCodePage1250(const QString& AText, int* ALost) {
  const std::array<std::uint8_t, 65536>& table = CodePage1250Table();
  QByteArray bytes;
  bytes.reserve(AText.size());
  for (qsizetype i = 0; i < AText.size(); ++i) {
    const char16_t c = AText.at(i).unicode();
    if (QChar::isHighSurrogate(c) && i + 1 < AText.size() && QChar::isLowSurrogate(AText.at(i + 1).unicode())) ++i;
    const std::uint8_t b = c == 0 ? 0 : table[c];
    if (b == 0 && c != 0) {
      bytes.append('?');
      if (ALost) ++*ALost;
    } else {
      bytes.append(static_cast<char>(b));
    }
  }
  return bytes;
}

void CellAttributeBytes(TCellAttributes AAttributes, std::uint8_t ABytes[3]) {
  ABytes[0] = 0;
  ABytes[1] = 0;
  ABytes[2] = 0;
  if (AAttributes & acHidden) ABytes[0] += 0x80;
  if (AAttributes & acLocked) ABytes[0] += 0x40;
  if (AAttributes & acShaded) ABytes[2] += 0x80;
  if (AAttributes & acBottomBorder) ABytes[2] += 0x40;
  if (AAttributes & acTopBorder) ABytes[2] += 0x20;
  if (AAttributes & acRightBorder) ABytes[2] += 0x10;
  if (AAttributes & acLeftBorder) ABytes[2] += 0x08;
  if (AAttributes & acLeft)
    ABytes[2] += 1;
  else if (AAttributes & acCenter)
    ABytes[2] += 2;
  else if (AAttributes & acRight)
    ABytes[2] += 3;
  else if (AAttributes & acFill)
    ABytes[2] += 4;
}

void TExtendedFormat::SetBits(std::uint32_t ASelector, std::uint32_t AValue) {
  const std::uint32_t field = ASelector >> 16;
  if (ASelector > 0x5FFFF || field == 0) throw EDqException(QStringLiteral("XF index internal error."));
  const std::uint32_t offset = (ASelector >> 8) & 0xFF;
  const std::uint32_t width = ASelector & 0xFF;
  const std::uint32_t size = field == 1 ? 16 : field <= 3 ? 8 : 32;
  if (width == 0 || offset + width > size) throw EDqException(QStringLiteral("XF index internal error."));
  const std::uint32_t mask = width >= 32 ? 0xFFFFFFFFu : ((1u << width) - 1);
  // A value that does not fit would spill into the neighbouring field.
  if (AValue & ~mask) throw EDqException(QStringLiteral("XF value %1 does not fit %2 bits.").arg(AValue).arg(width));
  auto apply = [&](auto& AField) {
    using T = std::remove_reference_t<decltype(AField)>;
    AField = static_cast<T>((AField & ~(mask << offset)) | (AValue << offset));
  };
  switch (field) {
  case 1: apply(XF1); break;
  case 2: apply(XF2); break;
  case 3: apply(XF3); break;
  case 4: apply(XF4); break;
  default: apply(XF5); break;
  }
}

TXLSWriter::TXLSWriter(const QString& AFileName, std::uint16_t AMaxCol, std::uint16_t AMaxRow)
    : FStream(AFileName), FMaxCol(AMaxCol > 100 ? AMaxCol : 100), FMaxRow(AMaxRow) {
  if (!FStream.open(QIODevice::WriteOnly))
    throw EDqException(QStringLiteral("Cannot write \"%1\": %2").arg(AFileName, FStream.errorString()));
  QByteArray bof;
  PutWord(bof, 0);
  PutWord(bof, 0x0010); // worksheet
  PutWord(bof, 0);
  WriteRecord(0x0809, bof);
  QByteArray codePage;
  PutWord(codePage, 1250);
  WriteRecord(0x0042, codePage);
  QByteArray dimensions;
  PutWord(dimensions, 0);
  PutWord(dimensions, FMaxRow);
  PutWord(dimensions, 0);
  PutWord(dimensions, FMaxCol);
  WriteRecord(0x0000, dimensions);
}

TXLSWriter::~TXLSWriter() {
  if (!FClosed) FStream.cancelWriting();
}

void TXLSWriter::Close() {
  if (FClosed) return;
  WriteRecord(0x000A, QByteArray());
  FClosed = true;
  if (!FStream.commit())
    throw EDqException(QStringLiteral("Cannot write \"%1\": %2").arg(FStream.fileName(), FStream.errorString()));
}

void TXLSWriter::WriteRecord(std::uint16_t ANumber, const QByteArray& AData) {
  QByteArray record;
  record.reserve(4 + AData.size());
  PutWord(record, ANumber);
  PutWord(record, static_cast<std::uint16_t>(AData.size()));
  record.append(AData);
  if (FStream.write(record) != record.size())
    throw EDqException(QStringLiteral("Cannot write \"%1\": %2").arg(FStream.fileName(), FStream.errorString()));
}

void TXLSWriter::WriteExtendedFormat(const TExtendedFormat& AFormat) {
  QByteArray data;
  PutWord(data, AFormat.FontIndex);
  PutWord(data, AFormat.FormatIndex);
  PutWord(data, AFormat.XF1);
  data.append(static_cast<char>(AFormat.XF2));
  data.append(static_cast<char>(AFormat.XF3));
  PutLong(data, AFormat.XF4);
  PutLong(data, AFormat.XF5);
  WriteRecord(0x00E0, data);
}

void TXLSWriter::WriteColumnInfo(const TColumnInfo& AInfo) {
  QByteArray data;
  for (std::uint16_t value : {AInfo.FirstCol, AInfo.LastCol, AInfo.Width, AInfo.ExtendedFormat, AInfo.OptionFlags,
                              AInfo.NotUsed})
    PutWord(data, value);
  WriteRecord(0x007D, data);
}

void TXLSWriter::WriteCellHeader(QByteArray& AData, std::uint16_t ACol, std::uint16_t ARow,
                                 TCellAttributes AAttribute) {
  PutWord(AData, ARow);
  PutWord(AData, ACol);
  std::uint8_t bytes[3];
  CellAttributeBytes(AAttribute, bytes);
  AData.append(reinterpret_cast<const char*>(bytes), 3);
}

void TXLSWriter::SetCellsA(std::uint16_t ACol, std::uint16_t ARow, TCellAttributes AAttribute, const QString& AValue) {
  QByteArray text = EncodeCodePage1250(AValue, &FLostCharacters);
  // The count is one byte: a longer text keeps its first 255 characters
  // rather than its length modulo 256.
  if (text.size() > 255) {
    text.truncate(255);
    ++FCutTexts;
  }
  QByteArray data;
  WriteCellHeader(data, ACol, ARow, AAttribute);
  data.append(static_cast<char>(text.size()));
  data.append(text);
  WriteRecord(0x0004, data);
}

void TXLSWriter::SetCellFloatA(std::uint16_t ACol, std::uint16_t ARow, TCellAttributes AAttribute, double AValue) {
  QByteArray data;
  WriteCellHeader(data, ACol, ARow, AAttribute);
  std::uint64_t bits = 0;
  std::memcpy(&bits, &AValue, sizeof bits);
  PutLong(data, static_cast<std::uint32_t>(bits & 0xFFFFFFFFu));
  PutLong(data, static_cast<std::uint32_t>(bits >> 32));
  WriteRecord(0x0003, data);
}

void TXLSWriter::SetCellWordA(std::uint16_t ACol, std::uint16_t ARow, TCellAttributes AAttribute, std::uint16_t AValue) {
  QByteArray data;
  WriteCellHeader(data, ACol, ARow, AAttribute);
  PutWord(data, AValue);
  WriteRecord(0x0002, data);
}
