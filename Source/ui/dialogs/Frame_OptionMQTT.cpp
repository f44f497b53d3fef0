#include "Frame_OptionMQTT.h"

#include "core/DqBackgroundTask.h"
#include "core/DqRoutine.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Engine.h"
#include "mqtt/Tervox_Mqtt.h"
#include "ui/base/Main_Routine.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

TFrameOptionMQTT::TFrameOptionMQTT(QWidget* AOwner)
    : TDqFrame(AOwner), FCheckEnabled(new QCheckBox(QStringLiteral("Publish readings and alarms to an MQTT broker"), this)),
      FEditHost(new QLineEdit(this)), FEditPort(new QSpinBox(this)), FCheckTLS(new QCheckBox(QStringLiteral("TLS"), this)),
      FEditUser(new QLineEdit(this)), FEditPassword(new QLineEdit(this)), FEditTopic(new QLineEdit(this)),
      FComboQoS(new QComboBox(this)), FButtonSave(new QPushButton(QStringLiteral("Save"), this)),
      FButtonTest(new QPushButton(QStringLiteral("Test connection"), this)), FLabelResult(new QLabel(this)),
      FLabelStatus(new QLabel(this)), FTester(std::make_unique<TDqBackgroundTask>()) {
  setObjectName(QStringLiteral("FrameOptionMQTT"));
  auto* layout = new QVBoxLayout(this);
  FCheckEnabled->setObjectName(QStringLiteral("CheckEnabled"));
  layout->addWidget(FCheckEnabled);
  auto* form = new QFormLayout;
  layout->addLayout(form);
  FEditHost->setObjectName(QStringLiteral("EditHost"));
  form->addRow(QStringLiteral("Broker host:"), FEditHost);
  FEditPort->setObjectName(QStringLiteral("EditPort"));
  FEditPort->setRange(1, 65535);
  form->addRow(QStringLiteral("Port:"), FEditPort);
  FCheckTLS->setObjectName(QStringLiteral("CheckTLS"));
  form->addRow(QString(), FCheckTLS);
  FEditCAFile = AddFileRow(form, QStringLiteral("CA file:"), QStringLiteral("EditCAFile"));
  FEditCAFile->setPlaceholderText(QStringLiteral("the system's certificate authorities"));
  FEditCertFile = AddFileRow(form, QStringLiteral("Client certificate:"), QStringLiteral("EditCertFile"));
  FEditKeyFile = AddFileRow(form, QStringLiteral("Client key:"), QStringLiteral("EditKeyFile"));
  FEditUser->setObjectName(QStringLiteral("EditUser"));
  form->addRow(QStringLiteral("User name:"), FEditUser);
  FEditPassword->setObjectName(QStringLiteral("EditPassword"));
  FEditPassword->setEchoMode(QLineEdit::Password);
  form->addRow(QStringLiteral("Password:"), FEditPassword);
  FEditTopic->setObjectName(QStringLiteral("EditTopic"));
  FEditTopic->setPlaceholderText(TTervoxMqttSettings::DefaultTopic());
  form->addRow(QStringLiteral("Topic prefix:"), FEditTopic);
  FComboQoS->setObjectName(QStringLiteral("ComboQoS"));
  FComboQoS->addItems({QStringLiteral("0 - at most once"), QStringLiteral("1 - at least once")});
  form->addRow(QStringLiteral("Readings QoS:"), FComboQoS);

  auto* buttons = new QHBoxLayout;
  FButtonSave->setObjectName(QStringLiteral("ButtonSave"));
  FButtonTest->setObjectName(QStringLiteral("ButtonTest"));
  buttons->addWidget(FButtonSave);
  buttons->addWidget(FButtonTest);
  buttons->addStretch(1);
  layout->addLayout(buttons);
  FLabelResult->setObjectName(QStringLiteral("LabelResult"));
  FLabelResult->setWordWrap(true);
  layout->addWidget(FLabelResult);
  FLabelStatus->setObjectName(QStringLiteral("LabelStatus"));
  layout->addWidget(FLabelStatus);
  layout->addStretch(1);

  Load();
  connect(FCheckTLS, &QCheckBox::toggled, this, [this](bool AOn) { TLSChanged(AOn); });
  connect(FButtonSave, &QPushButton::clicked, this, [this] { Save(); });
  connect(FButtonTest, &QPushButton::clicked, this, [this] { TestConnection(); });
  connect(&FTimerStatus, &QTimer::timeout, this, [this] { FLabelStatus->setText(MqttStatus().Text()); });
  FLabelStatus->setText(MqttStatus().Text());
  FTimerStatus.start(1000);
}

TFrameOptionMQTT::~TFrameOptionMQTT() = default;

QLineEdit* TFrameOptionMQTT::AddFileRow(QFormLayout* AForm, const QString& ACaption, const QString& AName) {
  auto* row = new QHBoxLayout;
  auto* edit = new QLineEdit(this);
  edit->setObjectName(AName);
  auto* browse = new QToolButton(this);
  browse->setText(QStringLiteral("..."));
  row->addWidget(edit, 1);
  row->addWidget(browse);
  AForm->addRow(ACaption, row);
  connect(browse, &QToolButton::clicked, this, [this, edit, ACaption] {
    const QString file = QFileDialog::getOpenFileName(this, ACaption.chopped(1), edit->text());
    if (!file.isEmpty()) edit->setText(file);
  });
  return edit;
}

void TFrameOptionMQTT::Load() {
  const TTervoxMqttSettings settings = TTervoxMqttSettings::Load();
  FCheckEnabled->setChecked(settings.Enabled);
  FEditHost->setText(settings.Host);
  FCheckTLS->setChecked(settings.TLS);
  FEditPort->setValue(settings.Port);
  FEditCAFile->setText(settings.CAFile);
  FEditCertFile->setText(settings.CertFile);
  FEditKeyFile->setText(settings.KeyFile);
  FEditUser->setText(settings.User);
  FStoredPassword = settings.Password;
  FEditPassword->clear();
  FEditPassword->setPlaceholderText(FStoredPassword.isEmpty() ? QString() : QStringLiteral("(stored; type to replace)"));
  FEditTopic->setText(settings.Topic == TTervoxMqttSettings::DefaultTopic() ? QString() : settings.Topic);
  FComboQoS->setCurrentIndex(settings.QoS);
}

TTervoxMqttSettings TFrameOptionMQTT::Settings() const {
  TTervoxMqttSettings settings;
  settings.Enabled = FCheckEnabled->isChecked();
  settings.Host = FEditHost->text().trimmed();
  settings.Port = FEditPort->value();
  settings.TLS = FCheckTLS->isChecked();
  settings.CAFile = FEditCAFile->text().trimmed();
  settings.CertFile = FEditCertFile->text().trimmed();
  settings.KeyFile = FEditKeyFile->text().trimmed();
  settings.User = FEditUser->text();
  settings.Password = FEditPassword->text().isEmpty() ? FStoredPassword : FEditPassword->text();
  settings.Topic = FEditTopic->text().trimmed();
  while (settings.Topic.endsWith(QLatin1Char('/'))) settings.Topic.chop(1);
  if (settings.Topic.isEmpty()) settings.Topic = TTervoxMqttSettings::DefaultTopic();
  settings.QoS = FComboQoS->currentIndex() == 0 ? 0 : 1;
  return settings;
}

void TFrameOptionMQTT::TLSChanged(bool AOn) {
  // The usual port of the other kind follows the box; a port of one's own stays.
  if (AOn && FEditPort->value() == 1883) FEditPort->setValue(8883);
  if (!AOn && FEditPort->value() == 8883) FEditPort->setValue(1883);
}

void TFrameOptionMQTT::Save() {
  const TTervoxMqttSettings settings = Settings();
  const QString problem = settings.Problem();
  if (settings.Enabled && !problem.isEmpty()) {
    FLabelResult->setText(QStringLiteral("Not saved: %1.").arg(problem));
    return;
  }
  settings.Save();
  // An empty prefix stays empty: the host's default follows a rename.
  if (FEditTopic->text().trimmed().isEmpty()) Config()->SetValues(QStringLiteral("MQTTTopic"), QString());
  Load();
  FLabelResult->setText(QStringLiteral("Saved."));
  // The engine publishes with what is stored; a window that does not
  // record has nothing to restart, and a recorder restarts its own.
  if (RemoteStation())
    MainStationSettingsChanged();
  else if (DeviceList() && DeviceList()->Count() > 0 && !PollingStopping())
    StartMqttPublisher();
}

void TFrameOptionMQTT::TestConnection() {
  const TTervoxMqttSettings settings = Settings();
  FButtonTest->setEnabled(false);
  FLabelResult->setText(QStringLiteral("Connecting to %1:%2 ...").arg(settings.Host).arg(settings.Port));
  // Never on the UI thread: an unreachable host takes seconds to give up.
  FTester->Start(
      [this, settings](const std::atomic<bool>& ACancel) -> TDqBackgroundTask::TDone {
        const TMqttTestResult result = TestMqttConnection(settings, 5000, &ACancel);
        return [this, result] { ShowTestResult(result.Text); };
      },
      [this](std::exception_ptr AError) { ShowTestResult(ExceptionMessage(AError)); });
}

void TFrameOptionMQTT::ShowTestResult(const QString& AText) {
  FButtonTest->setEnabled(true);
  FLabelResult->setText(AText.left(1).toUpper() + AText.mid(1) + QLatin1Char('.'));
}
