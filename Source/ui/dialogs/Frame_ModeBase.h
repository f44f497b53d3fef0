// What every page of the "Mode Setting" dialog shares: its device, the
// container of its value controls, reading (the dialog hears when a read
// has finished, whatever it brought) and writing what the user changed.
#pragma once

#include "plant/Tervox_DeviceRequests.h"

#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

class QComboBox;
class QLineEdit;
class TDqValControl;
class TDqValControlList;
class TDqValEdit;
class TTervoxDevice;

class TFrameModeBase : public QWidget {
  Q_OBJECT
public:
  TFrameModeBase(int AMode, const QString& ATitle, QWidget* AOwner = nullptr);
  ~TFrameModeBase() override;

  int Mode() const { return FMode; }
  QString Title() const { return FTitle; }
  TTervoxDevice* Device() const { return FDevice.get(); }
  void SetDevice(std::shared_ptr<TTervoxDevice> ADevice) { FDevice = std::move(ADevice); }

  // The container's value object.
  virtual void EnableAll(bool AValue);
  bool Enabled() const;
  virtual bool IsModify() const;
  // A page with settings to write (the program page has none).
  virtual bool Writable() const { return true; }
  // Starts the page's read; OnReadFinished follows in every case.
  virtual void ReadMode();
  // The controls hold what the controller gave at the last read.
  bool HasData() const { return FHasData; }
  // Starts the write of what changed; false (and nothing sent) when the
  // controller is not synchronized or a value is refused. A page without
  // the controller's data sends nothing and completes at once.
  virtual bool WriteMode(TTervoxWriteNotify ACallback);

  // The value object of one of the page's edits.
  TDqValEdit* Edit(QLineEdit* AEdit) const;

  // The dialog's "read finished" (the pages' notification).
  std::function<void()> OnReadFinished;
  // Shows a refusal (an error box in the program, recorded in tests).
  static std::function<void(const QString&)>& ErrorSink();

protected:
  // The container of the value controls and its registry (the process-wide
  // one unless the page builds its own).
  void SetContainer(QWidget* AContainer, bool APrivateRegistry);
  TDqValControlList& Registry() const;
  TDqValControl* ContainerValue() const;
  // Loads the device's copy into the controls; false when there was none.
  virtual bool LoadData() = 0;
  // Builds the data from the controls, reduces it and queues the write.
  virtual void SendData(TTervoxWriteNotify ACallback) = 0;
  virtual QString NotSynchronizedText() const { return QStringLiteral("Device not synchronized."); }
  void NotifyReadFinished();
  // A list's code for writing: its index, or "unchanged" for none.
  int ComboCode(const QComboBox* ACombo) const;
  void LoadCombo(QComboBox* ACombo, int ACode);
  static QLineEdit* NewEdit(QWidget* AParent, const QString& AName);
  static QComboBox* NewCombo(QWidget* AParent, const QString& AName, const QStringList& AItems);

  std::shared_ptr<TTervoxDevice> FDevice;

private:
  int FMode;
  bool FHasData = false;
  QString FTitle;
  QWidget* FContainer = nullptr;
  std::unique_ptr<TDqValControlList> FValCons; // a private registry
};
