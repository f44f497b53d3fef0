#include "Form_Debug.h"

#include "Engine/DqEvent.h"
#include "domain/Tervox_Device.h"
#include "domain/Tervox_Engine.h"

#include <QGridLayout>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// A text box the worker lists into: the lines reach it on the UI thread,
// and not at all once it is gone.
class TMemoView : public TDqEventMemo {
public:
  explicit TMemoView(QPlainTextEdit* AEdit) : FEdit(AEdit) {}
  void Clear() override {
    QPointer<QPlainTextEdit> edit = FEdit;
    QMetaObject::invokeMethod(
        FEdit.data(), [edit] { if (edit) edit->clear(); }, Qt::QueuedConnection);
  }
  void Add(const QString& ALine) override {
    QPointer<QPlainTextEdit> edit = FEdit;
    QMetaObject::invokeMethod(
        FEdit.data(), [edit, ALine] { if (edit) edit->appendPlainText(ALine); }, Qt::QueuedConnection);
  }

private:
  QPointer<QPlainTextEdit> FEdit;
};

} // namespace

TFormDebug::TFormDebug(QWidget* AOwner) : QDialog(AOwner), FButtonRefresh(new QPushButton(QStringLiteral("Refresh"), this)) {
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
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid, 1);
  layout->addWidget(FButtonRefresh, 0, Qt::AlignRight);
  resize(760, 480);
  FEventMemo = std::make_unique<TMemoView>(FMemos[2]);
  FWorkMemo = std::make_unique<TMemoView>(FMemos[3]);
  connect(FButtonRefresh, &QPushButton::clicked, this, &TFormDebug::ButtonRefreshClick);
}

TFormDebug::~TFormDebug() { Detach(); }

void TFormDebug::Detach() {
  // Under the worker's listing lock: once detached, no line reaches a freed view.
  if (TDqEventThread* thread = EventThread()) {
    thread->SetEventMemo(nullptr);
    thread->SetWorkMemo(nullptr);
  }
}

void TFormDebug::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  FormShow();
}

void TFormDebug::FormShow() {
  TDqEventThread* thread = EventThread();
  if (!thread) return;
  thread->SetEventMemo(FEventMemo.get());
  thread->SetWorkMemo(FWorkMemo.get());
}
