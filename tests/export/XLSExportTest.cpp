#include "export/XLSExport.h"
#include "TestSupport.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

QByteArray Hex(const char* AText) { return QByteArray::fromHex(AText); }

TEST(XLSExport, RecordsByteForByte) {
  tervox_test::TempDir dir;
  const QString file = dir.Path(QStringLiteral("a.xls"));
  tervox_test::WriteFileBytes(file, QByteArray(5000, 'x')); // replaced entirely
  {
    TXLSWriter writer(file, 7, 65535);
    EXPECT_EQ(writer.MaxCol(), 100);
    TExtendedFormat format;
    format.SetBits(xfParentStyle, 1);
    format.SetBits(xfHorizontalAlign, 2);
    format.SetBits(xfAlignUsed, 1);
    format.SetBits(xfPatternUsed, 1);
    format.SetBits(xfPatternColour, 10);
    writer.WriteExtendedFormat(format);
    writer.WriteColumnInfo({0, 0, 5632, 1, 0, 0});
    writer.SetCellsA(1, 3, acShaded | acBottomBorder | acCenter | acFill, QStringLiteral("PV"));
    writer.SetCells(0, 4, QString());
    writer.SetCellFloat(2, 5, 1.5);
    writer.SetCellWord(3, 6, 513);
    writer.Close();
  }
  const QByteArray expected = Hex("0908 0600 0000 1000 0000"      // beginning of file, worksheet
                                  "4200 0200 e204"                // code page 1250
                                  "0000 0800 0000 ffff 0000 6400" // dimensions
                                  "e000 1000 0000 0000 1000 02 50 0a000000 00000000"
                                  "7d00 0c00 0000 0000 0016 0100 0000 0000"
                                  "0400 0a00 0300 0100 00 00 c2 02 5056" // heading attributes 00 00 C2
                                  "0400 0800 0400 0000 000000 00"
                                  "0300 0f00 0500 0200 000000 000000000000f83f"
                                  "0200 0900 0600 0300 000000 0102"
                                  "0a00 0000");
  EXPECT_EQ(tervox_test::ReadFileBytes(file).toHex(' '), expected.toHex(' '));
}

TEST(XLSExport, TextLimitsAndCodePage) {
  tervox_test::TempDir dir;
  const QString file = dir.Path(QStringLiteral("t.xls"));
  TXLSWriter writer(file, 100, 10);
  writer.SetCells(0, 0, QString(300, QLatin1Char('a')));
  writer.SetCells(0, 1, QStringLiteral("Žlutý kůň ไทย"));
  writer.Close();
  const QByteArray bytes = tervox_test::ReadFileBytes(file);
  const qsizetype first = 4 + 6 + 4 + 2 + 4 + 8; // after BOF, code page, dimensions
  // 300 characters keep 255, not 300 mod 256.
  EXPECT_EQ(bytes.mid(first, 4), Hex("0400 0701"));
  EXPECT_EQ(static_cast<unsigned char>(bytes.at(first + 11)), 255);
  const qsizetype second = first + 4 + 8 + 255;
  EXPECT_EQ(bytes.mid(second + 12, 13), QByteArray("\x8elut\xfd k\xf9\xf2 ???"));
  EXPECT_EQ(writer.LostCharacters(), 3);
  EXPECT_EQ(writer.CutTexts(), 1);
}

TEST(XLSExport, BadSelectorsAndUnwritableFiles) {
  TExtendedFormat format;
  for (std::uint32_t selector : {0x00104u, 0x60001u, 0x20801u}) EXPECT_THROW(format.SetBits(selector, 0), EDqException);
  EXPECT_THROW(format.SetBits(xfHorizontalAlign, 8), EDqException); // 3 bits
  EXPECT_THROW(TXLSWriter(QStringLiteral("/proc/no/such/dir/a.xls"), 1, 1), EDqException);

  // A writer given up half-way leaves the old file as it was.
  tervox_test::TempDir dir;
  const QString file = dir.Path(QStringLiteral("keep.xls"));
  tervox_test::WriteFileBytes(file, "old");
  {
    TXLSWriter writer(file, 1, 1);
    writer.SetCells(0, 0, QStringLiteral("new"));
  }
  EXPECT_EQ(tervox_test::ReadFileBytes(file), QByteArray("old"));
}

} // namespace
