// A small worksheet in the binary spreadsheet record format (BIFF): the
// cell records of the oldest layout (three attribute bytes, one-byte text
// length) behind a beginning-of-file record 0x0809, code page 1250.
#pragma once

#include <QSaveFile>
#include <QString>

#include <cstdint>

// Attributes of a cell (bit flags).
enum TCellAttribute : std::uint16_t {
  acHidden = 1 << 0,
  acLocked = 1 << 1,
  acShaded = 1 << 2,
  acBottomBorder = 1 << 3,
  acTopBorder = 1 << 4,
  acRightBorder = 1 << 5,
  acLeftBorder = 1 << 6,
  acLeft = 1 << 7,
  acCenter = 1 << 8,
  acRight = 1 << 9,
  acFill = 1 << 10,
};
using TCellAttributes = std::uint16_t;

// The three attribute bytes of a cell record.
void CellAttributeBytes(TCellAttributes AAttributes, std::uint8_t ABytes[3]);

struct TExtendedFormat {
  std::uint16_t FontIndex = 0;
  std::uint16_t FormatIndex = 0;
  std::uint16_t XF1 = 0;
  std::uint8_t XF2 = 0;
  std::uint8_t XF3 = 0;
  std::uint32_t XF4 = 0;
  std::uint32_t XF5 = 0;
  // A bit field by selector: field 1-5 in bits 16 and up, bit offset in bits
  // 8-15, width in bits 0-7. Raises "XF index internal error." for a bad
  // selector.
  void SetBits(std::uint32_t ASelector, std::uint32_t AValue);
};

// Selectors of the fields the report sets.
inline constexpr std::uint32_t xfParentStyle = 0x1040C; // XF1 bits 4-15
inline constexpr std::uint32_t xfHorizontalAlign = 0x20003; // XF2 bits 0-2
inline constexpr std::uint32_t xfAlignUsed = 0x30401; // XF3 bit 4
inline constexpr std::uint32_t xfPatternUsed = 0x30601; // XF3 bit 6
inline constexpr std::uint32_t xfPatternColour = 0x40007; // XF4 bits 0-6

struct TColumnInfo {
  std::uint16_t FirstCol = 0;
  std::uint16_t LastCol = 0;
  std::uint16_t Width = 0; // 1/256 of a character
  std::uint16_t ExtendedFormat = 0;
  std::uint16_t OptionFlags = 0;
  std::uint16_t NotUsed = 0;
};

class TXLSWriter {
public:
  // Opens (and empties) the file and writes the beginning of file, the code
  // page and the dimensions. Raises when the file cannot be written.
  TXLSWriter(const QString& AFileName, std::uint16_t AMaxCol, std::uint16_t AMaxRow);
  // Without Close() (an export that failed half-way) the file is left as it
  // was before: a partial spreadsheet is worse than none.
  ~TXLSWriter();
  TXLSWriter(const TXLSWriter&) = delete;
  TXLSWriter& operator=(const TXLSWriter&) = delete;

  std::uint16_t MaxCol() const { return FMaxCol; }
  std::uint16_t MaxRow() const { return FMaxRow; }

  void WriteExtendedFormat(const TExtendedFormat& AFormat);
  void WriteColumnInfo(const TColumnInfo& AInfo);
  // Text cells hold at most 255 bytes in the code page; characters the code
  // page lacks are written as '?' and counted in LostCharacters().
  void SetCells(std::uint16_t ACol, std::uint16_t ARow, const QString& AValue) { SetCellsA(ACol, ARow, 0, AValue); }
  void SetCellsA(std::uint16_t ACol, std::uint16_t ARow, TCellAttributes AAttribute, const QString& AValue);
  void SetCellFloat(std::uint16_t ACol, std::uint16_t ARow, double AValue) { SetCellFloatA(ACol, ARow, 0, AValue); }
  void SetCellFloatA(std::uint16_t ACol, std::uint16_t ARow, TCellAttributes AAttribute, double AValue);
  void SetCellWord(std::uint16_t ACol, std::uint16_t ARow, std::uint16_t AValue) { SetCellWordA(ACol, ARow, 0, AValue); }
  void SetCellWordA(std::uint16_t ACol, std::uint16_t ARow, TCellAttributes AAttribute, std::uint16_t AValue);

  // Writes the end of file and puts the file in place; raises when it
  // cannot be written.
  void Close();
  int LostCharacters() const { return FLostCharacters; }
  int CutTexts() const { return FCutTexts; }

private:
  void WriteRecord(std::uint16_t ANumber, const QByteArray& AData);
  void WriteCellHeader(QByteArray& AData, std::uint16_t ACol, std::uint16_t ARow, TCellAttributes AAttribute);

  QSaveFile FStream; // the file appears whole at Close(), or not at all
  std::uint16_t FMaxCol;
  std::uint16_t FMaxRow;
  int FLostCharacters = 0;
  int FCutTexts = 0;
  bool FClosed = false;
};

// Text in code page 1250; unknown characters become '?' (counted in
// ALost when given).
QByteArray EncodeCodePage1250(const QString& AText, int* ALost = nullptr);
