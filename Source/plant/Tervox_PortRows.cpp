#include "Tervox_PortRows.h"

#include "comm/DqPort.h"
#include "store/DqSQLite.h"

TDqPortData PortDataOf(TSQLiteTable& ATable) {
  TDqPortData data;
  data.ID = ATable.FieldByName(QStringLiteral("ID"))->AsInteger(-1);
  data.Name = ATable.FieldByName(QStringLiteral("Name"))->AsString();
  data.PortType = static_cast<TDqPortType>(ATable.FieldByName(QStringLiteral("PortType"))->AsInteger(0));
  data.PortName = ATable.FieldByName(QStringLiteral("PortName"))->AsString();
  data.BaudRate = ATable.FieldByName(QStringLiteral("BaudRate"))->AsInteger(0);
  data.DataBits = static_cast<std::uint8_t>(ATable.FieldByName(QStringLiteral("DataBits"))->AsInteger(0));
  data.StopBits = static_cast<std::uint8_t>(ATable.FieldByName(QStringLiteral("StopBits"))->AsInteger(0));
  data.Parity = static_cast<std::uint8_t>(ATable.FieldByName(QStringLiteral("Parity"))->AsInteger(0));
  data.IPAddress = ATable.FieldByName(QStringLiteral("IPAddress"))->AsString();
  data.PortNumber = ATable.FieldByName(QStringLiteral("PortNumber"))->AsString();
  data.Enabled = ATable.FieldByName(QStringLiteral("Enabled"))->AsBool(false);
  return data;
}

std::vector<TDqPortData> LoadPortRows(TSQLiteDatabase& ADatabase, const QString& ATableName) {
  std::vector<TDqPortData> rows;
  TSQLiteTable table(&ADatabase);
  table.SetSQL(QStringLiteral("SELECT * FROM ") + ATableName + QStringLiteral(" ORDER BY ID"));
  table.Open();
  for (; !table.Eof(); table.Next()) rows.push_back(PortDataOf(table));
  table.Close();
  return rows;
}
