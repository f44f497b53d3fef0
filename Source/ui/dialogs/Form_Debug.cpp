#include "Form_Debug.h"

#include "core/DqEvent.h"
#include "comm/DqModbus.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Engine.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>

#include <QGridLayout>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <functional>
#include <map>
#include <mutex>

// The debug listing of every line worker: each worker lists into its own
// section, and the third and fourth boxes show the sections one after the
// other under the line's name. Workers write from their own threads; the
// sections change and the boxes are redrawn on the UI thread only.
class TFormDebug::TListing : public TTervoxWorkerListing {
public:
  TListing(QPlainTextEdit* AQueueBox, QPlainTextEdit* AWorkBox) : FBoxes{AQueueBox, AWorkBox} {}

  TDqEventMemo* QueueView(const QString& ALine) override { return &SectionOf(ALine).Views[0]; }
  TDqEventMemo* WorkView(const QString& ALine) override { return &SectionOf(ALine).Views[1]; }

private:
  struct TSection;
  // One box's part of one line.
  class TView : public TDqEventMemo {
  public:
    TView(TListing& AListing, TSection& ASection, int ABox) : FListing(AListing), FSection(ASection), FBox(ABox) {}
    void Clear() override {
      FListing.Post([this] { FSection.Lines[FBox].clear(); });
    }
    void Add(const QString& ALine) override {
      FListing.Post([this, ALine] { FSection.Lines[FBox] << ALine; });
    }

  private:
    TListing& FListing;
    TSection& FSection;
    int FBox;
  };
  struct TSection {
    TSection(TListing& AListing) : Views{TView(AListing, *this, 0), TView(AListing, *this, 1)} {}
    std::array<TView, 2> Views;
    std::array<QStringList, 2> Lines; // UI thread only
  };

  TSection& SectionOf(const QString& ALine) {
    std::lock_guard<std::mutex> guard(FMutex);
    std::unique_ptr<TSection>& section = FSections[ALine];
    if (!section) section = std::make_unique<TSection>(*this);
    return *section;
  }

  // Runs AChange on the UI thread, then redraws both boxes once for every
  // change queued meanwhile.
  void Post(std::function<void()> AChange) {
    QPointer<QPlainTextEdit> box = FBoxes[0];
    QMetaObject::invokeMethod(
        FBoxes[0].data(),
        [this, box, change = std::move(AChange)] {
          if (!box) return;
          change();
          if (FRedrawPending) return;
          FRedrawPending = true;
          QMetaObject::invokeMethod(box.data(), [this] { Redraw(); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
  }

  void Redraw() {
    FRedrawPending = false;
    std::lock_guard<std::mutex> guard(FMutex);
    for (int box = 0; box < 2; ++box) {
      if (!FBoxes[box]) continue;
      QStringList text;
      for (const auto& [line, section] : FSections) {
        if (section->Lines[box].isEmpty()) continue;
        text << QStringLiteral("[%1]").arg(line) << section->Lines[box];
      }
      FBoxes[box]->setPlainText(text.join(QLatin1Char('\n')));
    }
  }

  std::array<QPointer<QPlainTextEdit>, 2> FBoxes;
  std::mutex FMutex; // FSections: workers are created on any thread
  std::map<QString, std::unique_ptr<TSection>> FSections;
  bool FRedrawPending = false; // UI thread only
};

TFormDebug::TFormDebug(QWidget* AOwner)
    : QDialog(AOwner), FComboController(new QComboBox(this)), FStatisticsTimer(new QTimer(this)),
      FButtonRefresh(new QPushButton(QStringLiteral("Refresh"), this)) {
  setObjectName(QStringLiteral("FormDebug"));
  setWindowTitle(QStringLiteral("(o-o)"));
  auto* grid = new QGridLayout;
  for (int i = 0; i < 4; ++i) {
    auto* memo = new QPlainTextEdit(this);
    memo->setObjectName(QStringLiteral("Memo%1").arg(i + 1));
    memo->setReadOnly(true);
    memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    FMemos[static_cast<std::size_t>(i)] = memo;
    grid->addWidget(memo, i / 2, i % 2);
  }
  FButtonRefresh->setObjectName(QStringLiteral("ButtonRefresh"));
  FComboController->setObjectName(QStringLiteral("ComboController"));
  auto* picker = new QHBoxLayout;
  picker->addWidget(new QLabel(QStringLiteral("Controller:"), this));
  picker->addWidget(FComboController, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(picker);
  layout->addLayout(grid, 1);
  layout->addWidget(FButtonRefresh, 0, Qt::AlignRight);
  resize(760, 480);
  FListing = std::make_unique<TListing>(FMemos[2], FMemos[3]);
  connect(FButtonRefresh, &QPushButton::clicked, this, &TFormDebug::ButtonRefreshClick);
  connect(FComboController, &QComboBox::currentIndexChanged, this, &TFormDebug::ShowStatistics);
  FStatisticsTimer->setInterval(1000);
  connect(FStatisticsTimer, &QTimer::timeout, this, &TFormDebug::ShowStatistics);
  FStatisticsTimer->start();
}

// The controllers polled now, by name, each with its line and address.
void TFormDebug::LoadControllers() {
  TTervoxDeviceList* devices = DeviceList();
  const QString picked = FComboController->currentText();
  QStringList names;
  QList<QPair<int, int>> keys;
  for (int i = 0; devices && i < devices->Count(); ++i) {
    const std::shared_ptr<TTervoxDevice> device = devices->SharedDevice(i);
    names << device->DeviceName();
    keys << qMakePair(device->DeviceData().DevicePortID, device->DeviceData().SlaveID & 0xFF);
  }
  QStringList shown;
  for (int i = 0; i < FComboController->count(); ++i) shown << FComboController->itemText(i);
  if (shown == names) return;
  const QSignalBlocker blocker(FComboController);
  FComboController->clear();
  for (int i = 0; i < names.size(); ++i)
    FComboController->addItem(names[i], QVariant::fromValue(QList<int>{keys[i].first, keys[i].second}));
  FComboController->setCurrentIndex(std::max(0, FComboController->findText(picked)));
}

void TFormDebug::ShowStatistics() {
  LoadControllers();
  const QList<int> key = FComboController->currentData().value<QList<int>>();
  if (key.size() != 2) {
    FMemos[1]->clear();
    return;
  }
  const TModbusStatistics stats = ModbusStatistics(key[0], key[1]);
  auto time = [](const QDateTime& ATime) {
    return ATime.isValid() ? ATime.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) : QStringLiteral("-");
  };
  const QString text = QStringLiteral("%1 (line %2, address %3)\n"
                                      "requests        %4\n"
                                      "answers         %5\n"
                                      "time-outs       %6\n"
                                      "CRC/framing     %7\n"
                                      "other slave/tx  %8\n"
                                      "exceptions      %9 %10\n"
                                      "no line         %11\n"
                                      "reply ms        mean %12, worst %13\n"
                                      "last answer     %14\n"
                                      "last error      %15\n"
                                      "                %16")
                           .arg(FComboController->currentText())
                           .arg(key[0])
                           .arg(key[1])
                           .arg(stats.Requests)
                           .arg(stats.Answers)
                           .arg(stats.TimeOuts)
                           .arg(stats.Corrupt)
                           .arg(stats.Foreign)
                           .arg(stats.Exceptions)
                           .arg(stats.ExceptionsText())
                           .arg(stats.NoLine)
                           .arg(stats.MeanReplyMs(), 0, 'f', 1)
                           .arg(stats.WorstReplyMs, 0, 'f', 1)
                           .arg(time(stats.LastAnswerTime), time(stats.LastErrorTime), stats.LastError);
  if (FMemos[1]->toPlainText() != text) FMemos[1]->setPlainText(text);
}

TFormDebug::~TFormDebug() { Detach(); }

void TFormDebug::Detach() {
  // Under each worker's listing lock: once detached, no line reaches a
  // freed view.
  SetWorkerListing(nullptr);
}

void TFormDebug::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  FormShow();
}

void TFormDebug::FormShow() {
  SetWorkerListing(FListing.get());
  ShowStatistics();
}
