// How the audit trail names a settings register and shows its values.
#include "plant/Tervox_SettingsAudit.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(SettingsRegisters, NamesAndDecimalsAsTheSettingsPagesHaveThem) {
  struct TCase {
    int Address;
    const char* Name;
    int Digit; // with a controller of 1 decimal
  };
  const TCase cases[] = {
      {768, "FIX-SV1", 1},           {2086, "FIX-SV3 control output 2 PID No.", -1},
      {1792, "PV gain", 2},          {1553, "Key lock", -1},
      {1024, "PID 1 proportional band", 1}, {1281, "Event 1 operating point", 1},
      {387, "Control output 2 value", 1},   {390, "RUN", -1},
      {2384, "Step SV", 1},          {9999, "", -1},
  };
  for (const TCase& c : cases) {
    const TSettingsRegister known = SettingsRegisterOf(c.Address, 1);
    EXPECT_EQ(known.Name, QString::fromUtf8(c.Name)) << c.Address;
    EXPECT_EQ(known.Digit, c.Digit) << c.Address;
  }
  EXPECT_EQ(SettingsFieldText(768, QStringLiteral("FIX-SV1")), QStringLiteral("FIX-SV1 (register 768)"));
  EXPECT_EQ(SettingsFieldText(9999, QString()), QStringLiteral("register 9999"));
  EXPECT_EQ(SettingsValueText(1205, 1), QStringLiteral("120.5"));
  EXPECT_EQ(SettingsValueText(0xFFFB, 1), QStringLiteral("-0.5")); // a register is signed
  EXPECT_EQ(SettingsValueText(103, 2), QStringLiteral("1.03"));
  EXPECT_EQ(SettingsValueText(7, -1), QStringLiteral("7"));
}

} // namespace
