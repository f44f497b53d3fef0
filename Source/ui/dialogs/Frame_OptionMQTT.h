// The "MQTT" options page: the broker the station publishes its readings
// and alarms to, with TLS and credentials, the topic prefix and the QoS of
// readings, a "Test connection" button and the publisher's live status.
// The password is never shown back: left empty, the stored one is kept.
#pragma once

#include "widgets/DqFrameList.h"

#include <QTimer>

#include <memory>

class QCheckBox;
class TDqBackgroundTask;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
struct TTervoxMqttSettings;

class TFrameOptionMQTT : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameOptionMQTT(QWidget* AOwner = nullptr);
  ~TFrameOptionMQTT() override;

  QCheckBox* CheckEnabled() const { return FCheckEnabled; }
  QLineEdit* EditHost() const { return FEditHost; }
  QSpinBox* EditPort() const { return FEditPort; }
  QCheckBox* CheckTLS() const { return FCheckTLS; }
  QLineEdit* EditCAFile() const { return FEditCAFile; }
  QLineEdit* EditCertFile() const { return FEditCertFile; }
  QLineEdit* EditKeyFile() const { return FEditKeyFile; }
  QLineEdit* EditUser() const { return FEditUser; }
  QLineEdit* EditPassword() const { return FEditPassword; }
  QLineEdit* EditTopic() const { return FEditTopic; }
  QComboBox* ComboQoS() const { return FComboQoS; }
  QPushButton* ButtonSave() const { return FButtonSave; }
  QPushButton* ButtonTest() const { return FButtonTest; }
  QLabel* LabelResult() const { return FLabelResult; }
  QLabel* LabelStatus() const { return FLabelStatus; }

private:
  // The settings as the page shows them (the stored password when the
  // field is left empty).
  TTervoxMqttSettings Settings() const;
  void Load();
  void Save();
  void TestConnection();
  void ShowTestResult(const QString& AText);
  void TLSChanged(bool AOn);
  QLineEdit* AddFileRow(QFormLayout* AForm, const QString& ACaption, const QString& AName);

  QCheckBox* FCheckEnabled;
  QLineEdit* FEditHost;
  QSpinBox* FEditPort;
  QCheckBox* FCheckTLS;
  QLineEdit* FEditCAFile = nullptr;
  QLineEdit* FEditCertFile = nullptr;
  QLineEdit* FEditKeyFile = nullptr;
  QLineEdit* FEditUser;
  QLineEdit* FEditPassword;
  QLineEdit* FEditTopic;
  QComboBox* FComboQoS;
  QPushButton* FButtonSave;
  QPushButton* FButtonTest;
  QLabel* FLabelResult;
  QLabel* FLabelStatus;
  QTimer FTimerStatus;
  QString FStoredPassword;
  // The connection test; last, so that it stops before the widgets go.
  std::unique_ptr<TDqBackgroundTask> FTester;
};
