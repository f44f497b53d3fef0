// The lines as the DevicePort table stores them.
#pragma once

#include <QString>

#include <vector>

class TDqPortData;
class TSQLiteDatabase;
class TSQLiteTable;

// The port settings of the row ATable stands on.
TDqPortData PortDataOf(TSQLiteTable& ATable);
// Every row of ATableName, by ID.
std::vector<TDqPortData> LoadPortRows(TSQLiteDatabase& ADatabase, const QString& ATableName);
