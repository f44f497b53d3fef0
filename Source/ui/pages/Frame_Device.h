// The Device page: the controllers of the Device table with add, edit and
// delete, and below them each controller's communication statistics since
// the engine started (refreshed every second).
#pragma once

#include "ui/base/Frame_TableList.h"

#include <vector>

class QTableWidget;
class QTimer;

class TFrameDevice : public TFrameTableList {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameDevice(QWidget* AOwner = nullptr);
  ~TFrameDevice() override;

  TDqDrawGrid* GridDevice() const { return Grid(); }
  TSQLiteTable* TableDevice() const { return Table(); }
  // One row per controller: requests, answers, time-outs, CRC/framing
  // errors, replies from another slave or transaction, exceptions by code,
  // requests that found no line, the last error and when, the last good
  // answer, mean and worst reply time.
  QTableWidget* GridStatistics() const { return FGridStatistics; }
  void RefreshStatistics();

private:
  void LoadDevices();
  void DevicesChanged();
  void AddClick() override;
  void EditClick() override;
  void DeleteClick() override;

  QTableWidget* FGridStatistics;
  QTimer* FStatisticsTimer;
  struct TController {
    QString Name;
    int PortID;
    int Slave;
  };
  std::vector<TController> FControllers;
};
