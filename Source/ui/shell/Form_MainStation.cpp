// The main window and the recorder: polling here under the database's
// lock, or watching the recorder that holds it.
#include "Form_Main.h"

#include "ui/dialogs/Form_Alert.h"
#include "ui/dialogs/Form_DialogAlarm.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_User.h"
#include "station/Tervox_StationClient.h"
#include "station/Tervox_StationProtocol.h"
#include "store/Main_Database.h"
#include "store/Tervox_StationLock.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>

void TFormMain::DevicesChanged() {
  UpdateDevices();
  StationChanged(TervoxStation::ReloadDevices);
}

void TFormMain::StationSettingsChanged() { StationChanged(TervoxStation::ReloadSettings); }

QString TFormMain::StationText() const { return FStationStatus->isVisible() ? FStationStatus->text() : QString(); }

void TFormMain::ShowStation(const QString& AText) {
  FStationStatus->setText(AText);
  FStationStatus->setVisible(!AText.isEmpty());
}

void TFormMain::OpenStation() {
  const QString database = GetDatabaseFileName();
  if (!StationRecordedElsewhere()) {
    auto lock = std::make_unique<TTervoxStationLock>(database);
    // No recorder: this window polls, and no recorder starts meanwhile.
    if (lock->Acquire(QStringLiteral("tervox"), QString())) {
      FStationLock = std::move(lock);
      ShowStation(QString());
      return;
    }
  }
  // A recorder polls: this window opens no port and watches it.
  FStation = std::make_unique<TTervoxStationClient>(database);
  FStation->SetUser(CurrentUser()->Username, FLoginPassword);
  SetRemoteStation(FStation.get());
  QPointer<TFormMain> self(this);
  auto onUI = [self](auto AWork) {
    QMetaObject::invokeMethod(
        qApp,
        [self, AWork] {
          if (self && self->FStation) AWork(*self);
        },
        Qt::QueuedConnection);
  };
  TTervoxStationClient::THandlers handlers;
  handlers.StateChanged = [onUI](TTervoxStationClient::TState AState, std::int64_t APID) {
    onUI([AState, APID](TFormMain& AForm) {
      const QString process = APID > 0 ? QStringLiteral(" (process %1)").arg(APID) : QString();
      switch (AState) {
      case TTervoxStationClient::TState::Attached:
        AForm.FStationPID = APID;
        AForm.ShowStation(QStringLiteral("Attached to the recorder%1").arg(process));
        // The alert and SMS choices of this login are the recorder's too.
        AForm.FStation->Reload(TervoxStation::ReloadSettings);
        break;
      case TTervoxStationClient::TState::Gone:
        AForm.ShowStation(QStringLiteral("Recorder%1 gone: waiting for it to return").arg(process));
        break;
      case TTervoxStationClient::TState::Connecting:
        AForm.ShowStation(QStringLiteral("Looking for the recorder%1").arg(process));
        break;
      }
    });
  };
  handlers.LossAlertClosed = [onUI] {
    onUI([](TFormMain& AForm) {
      for (TFormAlert* alert : AForm.findChildren<TFormAlert*>()) alert->done(QDialog::Rejected);
    });
  };
  handlers.AlarmAcknowledged = [onUI](int ADeviceID, int ASlot) {
    onUI([ADeviceID, ASlot](TFormMain& AForm) {
      for (TFormDialogAlarm* alarm : AForm.findChildren<TFormDialogAlarm*>())
        if (alarm->DeviceID == ADeviceID && alarm->Slot == ASlot) alarm->close();
    });
  };
  handlers.PauseChanged = [onUI](bool APaused, const QString& AText) {
    onUI([APaused, AText](TFormMain& AForm) {
      AForm.ShowStation(APaused ? QStringLiteral("Recording paused for %1").arg(AText)
                                : QStringLiteral("Attached to the recorder (process %1)").arg(AForm.FStationPID));
    });
  };
  handlers.Reloaded = [onUI] { onUI([](TFormMain& AForm) { AForm.UpdateDevices(); }); };
  ShowStation(QStringLiteral("Looking for the recorder"));
  FStation->Start(std::move(handlers));
}

void TFormMain::CloseStation() {
  if (!FStation) return;
  // Waiting transactions fail now, so the line workers stop at once.
  FStation->Stop();
  SetRemoteStation(nullptr);
}

void TFormMain::StationChanged(std::uint8_t AWhat) {
  if (FStation) FStation->Reload(AWhat);
}
