// The port dialog's three types: what each shows, what it refuses, and a
// save-and-reload round trip that keeps every field of every type.
#include "plant/Tervox_PortRows.h"
#include "comm/DqPort.h"
#include "store/DqSQLite.h"
#include "ui/dialogs/Form_EditComPort.h"
#include "ui/UiTestSupport.h"

#include <QCheckBox>
#include <QFile>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

using tervox_test::TestDatabase;

namespace {

TDqPortData LoadPort(int AID) {
  TSQLiteTable table(GetDatabase());
  table.SetSQL(QStringLiteral("SELECT * FROM DevicePort WHERE ID = %1").arg(AID));
  table.Open();
  return table.Eof() ? TDqPortData() : PortDataOf(table);
}

void ExpectSame(const TDqPortData& AExpected, const TDqPortData& AActual) {
  EXPECT_EQ(AActual.Name, AExpected.Name);
  EXPECT_EQ(AActual.PortType, AExpected.PortType);
  EXPECT_EQ(AActual.PortName, AExpected.PortName);
  EXPECT_EQ(AActual.BaudRate, AExpected.BaudRate);
  EXPECT_EQ(AActual.DataBits, AExpected.DataBits);
  EXPECT_EQ(AActual.StopBits, AExpected.StopBits);
  EXPECT_EQ(AActual.Parity, AExpected.Parity);
  EXPECT_EQ(AActual.IPAddress, AExpected.IPAddress);
  EXPECT_EQ(AActual.PortNumber, AExpected.PortNumber);
}

TEST(Form_EditComPortTest, RoundTripOfEveryTypeKeepsEveryField) {
  TestDatabase db;
  // A simulated port that exists: the list offers only present ones.
  tervox_test::TempDir ports;
  qputenv("TERVOX_PORT_DIR", ports.Root().toLocal8Bit());
  ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), ports.Path(QStringLiteral("simA"))));
  const QString device = ports.Path(QStringLiteral("simA"));
  struct Case {
    int Type;
    const char* Address;
    const char* Port;
  };
  const Case cases[] = {{1, "", ""}, {2, "192.168.10.7", "502"}, {3, "moxa-hall2.plant.local", "4001"}};
  int id = 0;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.Type);
    // Added through the dialog.
    {
      TFormEditComPort dialog;
      dialog.show();
      dialog.ComboPortType()->setCurrentIndex(test.Type - 1);
      const bool network = test.Type != 1;
      EXPECT_EQ(dialog.EditAddress()->isVisible(), network);
      EXPECT_EQ(dialog.EditPortNumber()->isVisible(), network);
      EXPECT_EQ(dialog.ComboBaudRate()->isVisible(), !network);
      EXPECT_EQ(dialog.ComboPortName()->isVisible(), !network);
      EXPECT_EQ(dialog.windowTitle(), network ? QStringLiteral("Add Network Line") : QStringLiteral("Add Serial Port"));
      if (network) {
        EXPECT_EQ(dialog.EditPortNumber()->text(), test.Type == 2 ? QStringLiteral("502") : QStringLiteral("4001"));
        dialog.EditAddress()->setText(QLatin1String(test.Address));
        dialog.EditPortNumber()->setText(QLatin1String(test.Port));
      } else {
        dialog.ComboPortName()->setCurrentIndex(dialog.ComboPortName()->findText(device));
        ASSERT_EQ(dialog.ComboPortName()->currentText(), device);
      }
      dialog.ComboBaudRate()->setEditText(QStringLiteral("19200"));
      dialog.ComboDataBits()->setEditText(QStringLiteral("7"));
      dialog.ComboStopBits()->setCurrentIndex(2);
      dialog.ComboParity()->setCurrentIndex(2);
      dialog.EditName()->setText(QStringLiteral("Line %1").arg(test.Type));
      tervox_test::Click(dialog.ButtonSave());
      EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    ++id;
    const TDqPortData stored = LoadPort(id);
    EXPECT_EQ(stored.PortType, test.Type);
    EXPECT_EQ(stored.Name, QStringLiteral("Line %1").arg(test.Type));
    EXPECT_EQ(stored.IPAddress, QLatin1String(test.Address));
    EXPECT_EQ(stored.PortNumber, QLatin1String(test.Port));
    EXPECT_EQ(stored.BaudRate, 19200);
    EXPECT_EQ(stored.DataBits, 7);
    // Edited and saved unchanged: nothing lost, nothing turned serial.
    {
      TFormEditComPort dialog;
      dialog.SetPortData(stored);
      dialog.show();
      EXPECT_EQ(dialog.ComboPortType()->currentIndex(), test.Type - 1);
      EXPECT_EQ(dialog.windowTitle(), test.Type == 1 ? QStringLiteral("Edit Serial Port") : QStringLiteral("Edit Network Line"));
      tervox_test::Click(dialog.ButtonSave());
      EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    ExpectSame(stored, LoadPort(id));
  }
  qunsetenv("TERVOX_PORT_DIR");
}

// A network row made elsewhere (an older program, the database tool) with
// serial settings as well: editing it keeps them all.
TEST(Form_EditComPortTest, EditingANetworkRowNeverTurnsItSerial) {
  TestDatabase db;
  TestDatabase::Exec(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, BaudRate, DataBits, StopBits, "
                                    "Parity, IPAddress, PortNumber, Enabled) VALUES ('Hall 2', 2, '/dev/ttyS1', 9600, 8, "
                                    "0, 2, '10.1.2.3', '5020', 1)"));
  const TDqPortData before = LoadPort(1);
  TFormEditComPort dialog;
  dialog.SetPortData(before);
  dialog.show();
  EXPECT_EQ(dialog.EditAddress()->text(), QStringLiteral("10.1.2.3"));
  EXPECT_EQ(dialog.EditPortNumber()->text(), QStringLiteral("5020"));
  // Switching to serial and back loses nothing either.
  dialog.ComboPortType()->setCurrentIndex(0);
  dialog.ComboPortType()->setCurrentIndex(1);
  tervox_test::Click(dialog.ButtonSave());
  ExpectSame(before, LoadPort(1));
}

TEST(Form_EditComPortTest, BadAddressOrPortIsRefusedOnTheField) {
  TestDatabase db;
  TFormEditComPort dialog;
  dialog.show();
  dialog.ComboPortType()->setCurrentIndex(1);
  struct Case {
    const char* Address;
    const char* Port;
    bool AddressBad;
    bool PortBad;
  };
  const Case cases[] = {{"", "502", true, false},           {"300.1.2.3", "502", true, false},
                        {"gate way", "502", true, false},    {"10.0.0.1", "0", false, true},
                        {"10.0.0.1", "65536", false, true},  {"10.0.0.1", "port", false, true},
                        {"bad..name", "70000", true, true}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.Address);
    dialog.EditAddress()->setText(QLatin1String(test.Address));
    dialog.EditPortNumber()->setText(QLatin1String(test.Port));
    tervox_test::Click(dialog.ButtonSave());
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.LabelAddressProblem()->isVisible(), test.AddressBad);
    EXPECT_EQ(dialog.LabelPortProblem()->isVisible(), test.PortBad);
    if (test.PortBad) {
      EXPECT_TRUE(dialog.LabelPortProblem()->text().contains(QStringLiteral("1 to 65535")));
    }
  }
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM DevicePort")), 0);
  dialog.EditAddress()->setText(QStringLiteral("fe80::20"));
  dialog.EditPortNumber()->setText(QStringLiteral("502"));
  tervox_test::Click(dialog.ButtonSave());
  EXPECT_FALSE(dialog.LabelAddressProblem()->isVisible());
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT IPAddress || ' ' || PortNumber || ' ' || PortType FROM DevicePort")),
            QStringLiteral("fe80::20 502 2"));
}

} // namespace
