#include "Form_Options.h"

#include "plant/Tervox_Retention.h"
#include "core/DqRoutine.h"
#include "ui/base/Main_Audit.h"

#include "widgets/DqFrameList.h"
#include "plant/Tervox_User.h"
#include "Frame_OptionDatabase.h"
#include "Frame_OptionGeneral.h"
#include "Frame_OptionGroup.h"
#include "Frame_OptionMQTT.h"
#include "Frame_OptionPort.h"
#include "Frame_OptionSMS.h"
#include "Frame_OptionUsers.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QScreen>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const char* const kSheetCaptions[] = {"General", "Port", "SMS", "MQTT", "Group", "Users", "Database"};
const char* const kAdminPages[] = {"Port", "SMS", "MQTT", "Group", "Users", "Database"};

} // namespace

TFormOptions::TFormOptions(QWidget* AOwner)
    : QDialog(AOwner), FTreeOptions(new QTreeWidget(this)), FPageOptions(new QStackedWidget(this)),
      FFrames(std::make_unique<TDqFrameList>(nullptr, 0, 0)) {
  setObjectName(QStringLiteral("FormOptions"));
  setWindowTitle(QStringLiteral("Options"));
  setMinimumSize(650, 476);
  resize(844, 561);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  FTreeOptions->setObjectName(QStringLiteral("TreeOptions"));
  FTreeOptions->setFixedWidth(121);
  FTreeOptions->header()->hide();
  FTreeOptions->setEditTriggers(QAbstractItemView::NoEditTriggers);
  FPageOptions->setObjectName(QStringLiteral("PageOptions"));
  layout->addWidget(FTreeOptions);
  layout->addWidget(FPageOptions, 1);

  FFrames->AddClass<TFrameOptionGeneral>(QStringLiteral("General"));
  FFrames->AddClass<TFrameOptionUsers>(QStringLiteral("Users"));
  FFrames->AddClass<TFrameOptionPort>(QStringLiteral("Port"));
  FFrames->AddClass<TFrameOptionSMS>(QStringLiteral("SMS"));
  FFrames->AddClass<TFrameOptionMQTT>(QStringLiteral("MQTT"));
  FFrames->AddClass<TFrameOptionGroup>(QStringLiteral("Group"));
  FFrames->AddClass<TFrameOptionDatabase>(QStringLiteral("Database"));

  for (const char* caption : kSheetCaptions) {
    auto* sheet = new QWidget(FPageOptions);
    sheet->setObjectName(QStringLiteral("Tab") + QString::fromLatin1(caption));
    sheet->setWindowTitle(QString::fromLatin1(caption));
    auto* sheetLayout = new QVBoxLayout(sheet);
    sheetLayout->setContentsMargins(0, 0, 0, 0);
    FPageOptions->addWidget(sheet);
  }
  FPageOptions->setCurrentIndex(0);
  // What the recording process writes by itself is not the user's change.
  FAudit = std::make_unique<TAuditedRecord>(
      TervoxAudit::kOption,
      QStringLiteral("SELECT Name, Value FROM Config WHERE Name NOT IN ('%1', '%2') ORDER BY Name")
          .arg(kArchiveLastRun, kArchiveLastResult),
      QString(), QString(), std::vector<QString>{}, std::vector<QString>{QStringLiteral("MQTTPassword")});

  FTreeOptions->clear();
  auto* user = new QTreeWidgetItem(FTreeOptions, QStringList(QStringLiteral("User")));
  new QTreeWidgetItem(user, QStringList(QStringLiteral("General")));
  if (CurrentUser()->Group()->CanAdmin) {
    auto* admin = new QTreeWidgetItem(FTreeOptions, QStringList(QStringLiteral("Admin")));
    for (const char* page : kAdminPages) {
      const QString name = QString::fromLatin1(page);
      // Only pages that exist in this build are offered.
      if (FFrames->Classes().IndexOfName(name) >= 0) new QTreeWidgetItem(admin, QStringList(name));
    }
  }
  FTreeOptions->expandAll();
  const auto general = FTreeOptions->findItems(QStringLiteral("General"), Qt::MatchExactly | Qt::MatchRecursive);
  if (!general.isEmpty()) FTreeOptions->setCurrentItem(general.first());
  TreeOptionsClick();
  connect(FTreeOptions, &QTreeWidget::itemClicked, this, [this] { TreeOptionsClick(); });

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
  }
}

TFormOptions::~TFormOptions() {
  // The pages go before the sheets that hold them.
  FFrames.reset();
  try {
    FAudit->Saved(0, QString(), QStringLiteral("Options"));
  } catch (const EDqException& e) {
    qWarning("TERVOX: the options' changes are not in the audit trail: %s", qPrintable(e.Message()));
  }
}

QWidget* TFormOptions::SheetByCaption(const QString& ACaption) const {
  for (int i = 0; i < FPageOptions->count(); ++i)
    if (FPageOptions->widget(i)->windowTitle() == ACaption) return FPageOptions->widget(i);
  return nullptr;
}

QString TFormOptions::ActivePageName() const {
  QWidget* sheet = FPageOptions->currentWidget();
  return sheet ? sheet->windowTitle() : QString();
}

void TFormOptions::TreeOptionsClick() {
  QTreeWidgetItem* node = FTreeOptions->currentItem();
  if (!node) return;
  if ((node->text(0) == QLatin1String("User") || node->text(0) == QLatin1String("Admin")) && node->childCount() > 0) {
    node = node->child(0);
    FTreeOptions->setCurrentItem(node);
  }
  QWidget* sheet = SheetByCaption(node->text(0));
  if (!sheet) return;
  FPageOptions->setCurrentWidget(sheet);
  TDqFrame* frame = FFrames->SelectFrame(sheet->windowTitle());
  if (frame->parentWidget() != sheet) {
    frame->setParent(sheet);
    sheet->layout()->addWidget(frame);
    frame->show();
  }
  if (auto* database = qobject_cast<TFrameOptionDatabase*>(frame)) database->SetForm(this);
}
