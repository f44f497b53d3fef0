#include "Frame_GraphBase.h"

#include "widgets/DqDrawGrid.h"
#include "graph/DqImageFile.h"
#include "store/DqSQLite.h"
#include "ui/dialogs/Form_EditGraph.h"
#include "ui/dialogs/Form_EditLine.h"
#include "plant/Tervox_GraphSource.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"

#include <QComboBox>
#include <QCursor>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>
#include <cstdlib>

namespace {

const TDqColor kPalette[24] = {
    RGBColor(255, 0, 0),   RGBColor(0, 128, 0),   RGBColor(0, 0, 255),   RGBColor(255, 192, 0), RGBColor(255, 0, 192),
    RGBColor(0, 192, 255), RGBColor(128, 64, 0),  RGBColor(64, 255, 0),  RGBColor(128, 0, 255), RGBColor(128, 128, 128),
    RGBColor(0, 255, 128), RGBColor(255, 255, 0), RGBColor(128, 0, 0),   RGBColor(0, 64, 128),  RGBColor(0, 0, 128),
    RGBColor(128, 96, 0),  RGBColor(128, 0, 96),  RGBColor(0, 96, 128),  RGBColor(64, 0, 128),  RGBColor(32, 128, 0),
    RGBColor(64, 32, 0),   RGBColor(64, 64, 64),  RGBColor(0, 128, 64),  RGBColor(128, 128, 0),
};

constexpr int kPanelWidth = 232;
constexpr int kSplitWidth = 8;

const QString kGraphTable = QStringLiteral("Graph");
const QString kLineTable = QStringLiteral("GraphLine");

} // namespace

// ---------------------------------------------------------------- paint box

TGraphPaintBox::TGraphPaintBox(QWidget* AParent) : QWidget(AParent) {
  setObjectName(QStringLiteral("PaintBox"));
  // The bitmap covers every pixel: no background erase, no flicker.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(false);
}

void TGraphPaintBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (FBitmap) painter.drawImage(0, 0, *FBitmap);
  if (OnOverlay) OnOverlay(painter);
}

void TGraphPaintBox::mousePressEvent(QMouseEvent* AEvent) {
  if (OnMousePress) OnMousePress(AEvent);
}
void TGraphPaintBox::mouseMoveEvent(QMouseEvent* AEvent) {
  if (OnMouseMove) OnMouseMove(AEvent);
}
void TGraphPaintBox::mouseReleaseEvent(QMouseEvent* AEvent) {
  if (OnMouseRelease) OnMouseRelease(AEvent);
}
void TGraphPaintBox::wheelEvent(QWheelEvent* AEvent) {
  if (OnWheel)
    OnWheel(AEvent);
  else
    QWidget::wheelEvent(AEvent);
}

// ---------------------------------------------------------------- palette

TDqColor LinePaletteColor(int AIndex) { return kPalette[((AIndex % 24) + 24) % 24]; }

TDqColor SuggestLineColor(const TDqColor* ALastColor) {
  if (!ALastColor) return kPalette[0];
  const TDqColor c = *ALastColor;
  int best = 23;
  int bestDistance = INT32_MAX;
  for (int i = 23; i >= 0; --i) {
    const TDqColor p = kPalette[i];
    const int distance = std::abs(int(c & 0xFF) - int(p & 0xFF)) + std::abs(int((c >> 8) & 0xFF) - int((p >> 8) & 0xFF)) +
                         std::abs(int((c >> 16) & 0xFF) - int((p >> 16) & 0xFF));
    if (distance < bestDistance) {
      bestDistance = distance;
      best = i;
    }
    if (distance == 0) break;
  }
  return kPalette[(best + 1) % 24];
}

// ---------------------------------------------------------------- page

TFrameGraphBase::TFrameGraphBase(QWidget* AOwner, const QColor& AColor) : TDqFrame(AOwner), FColor(AColor) {
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, AColor);
  setPalette(palette);
  setFont(GraphLabelFont(font()));

  FPaintBox = new TGraphPaintBox(this);
  FPaintBox->setObjectName(QStringLiteral("PaintBoxGraph"));
  FPaintBox->SetBitmap(&FBitmap);

  const QStringList minItems = {QStringLiteral("1000"), QStringLiteral("100"), QStringLiteral("10"), QStringLiteral("0"),
                                QStringLiteral("-10"),  QStringLiteral("-50"), QStringLiteral("-100")};
  const QStringList maxItems = {QStringLiteral("10"),   QStringLiteral("50"),   QStringLiteral("100"),
                                QStringLiteral("120"),  QStringLiteral("150"),  QStringLiteral("300"),
                                QStringLiteral("400"),  QStringLiteral("500"),  QStringLiteral("1000"),
                                QStringLiteral("2000"), QStringLiteral("5000"), QStringLiteral("10000")};
  // The subclasses connect the handlers; the boxes carry the items.
  FComboMinY = NewRangeBox(QStringLiteral("ComboMinY"), 2, minItems);
  FComboMaxY = NewRangeBox(QStringLiteral("ComboMaxY"), 3, maxItems);

  FButtonHide = new QPushButton(QStringLiteral("Hide"), FPaintBox);
  FButtonHide->setObjectName(QStringLiteral("ButtonHide"));
  FButtonHide->setFixedSize(56, 24);
  connect(FButtonHide, &QPushButton::clicked, this, [this] { SetProfilePanelVisible(!FPanelProfile->isVisible()); });

  FButtonBMP = NewToolButton(QStringLiteral("ButtonBMP"), QStringLiteral("\u2913"), QStringLiteral("Save Image"));
  connect(FButtonBMP, &QToolButton::clicked, this, &TFrameGraphBase::ButtonBMPClick);

  FPanelSplit = new QFrame(this);
  FPanelSplit->setObjectName(QStringLiteral("PanelSplit"));
  FPanelSplit->setCursor(Qt::SizeHorCursor);
  FPanelSplit->setFrameShape(QFrame::StyledPanel);
  FPanelSplit->installEventFilter(this);

  FPanelProfile = new QFrame(this);
  FPanelProfile->setObjectName(QStringLiteral("PanelProfile"));
  FPanelProfile->resize(kPanelWidth, 400);
  auto* create = new QToolButton(FPanelProfile);
  create->setObjectName(QStringLiteral("ButtonCreateGraph"));
  create->setText(QStringLiteral("+"));
  create->setToolTip(QStringLiteral("Create Profile"));
  auto* remove = new QToolButton(FPanelProfile);
  remove->setObjectName(QStringLiteral("ButtonDeleteGraph"));
  remove->setText(QStringLiteral("\u2212"));
  remove->setToolTip(QStringLiteral("Delete Profile"));
  auto* rename = new QToolButton(FPanelProfile);
  rename->setObjectName(QStringLiteral("ButtonRenameGraph"));
  rename->setText(QStringLiteral("\u270E"));
  rename->setToolTip(QStringLiteral("Rename Profile"));
  connect(create, &QToolButton::clicked, this, &TFrameGraphBase::ButtonCreateGraphClick);
  connect(remove, &QToolButton::clicked, this, &TFrameGraphBase::ButtonDeleteGraphClick);
  connect(rename, &QToolButton::clicked, this, &TFrameGraphBase::ButtonRenameGraphClick);

  FComboGraph = new QComboBox(FPanelProfile);
  FComboGraph->setObjectName(QStringLiteral("ComboGraph"));
  FComboGraph->setEditable(true);
  FComboGraph->setInsertPolicy(QComboBox::NoInsert);
  FComboGraph->setMaxVisibleItems(20);
  FComboGraph->lineEdit()->setPlaceholderText(QStringLiteral("Graph Profiles"));
  FComboGraph->installEventFilter(this);
  FComboGraph->lineEdit()->installEventFilter(this);
  connect(FComboGraph, qOverload<int>(&QComboBox::activated), this, [this](int) { ComboGraphChange(); });

  FGridLine = new TDqDrawGrid(FPanelProfile);
  FGridLine->setObjectName(QStringLiteral("GridLine"));
  FGridLine->SetFixedRows(0);
  FGridLine->SetColCount(1);
  FGridLine->SetRowCount(1);
  FGridLine->SetDefaultRowHeight(24);
  FGridLine->SetRangeSelect(true);
  FGridLine->SetOnDrawCell([this](TDqDrawGrid*, QPainter& ACanvas, int, int ARow, const QRect& ARect, TGridDrawState) {
    DrawLineRow(ACanvas, ARow, ARect);
  });
  connect(FGridLine, &TDqDrawGrid::RowChanged, this, [this](int) {
    RenderGraph();
    FGridLine->viewport()->update();
  });
  connect(FGridLine, &TDqDrawGrid::DblClick, this, [this] {
    if (EditByDoubleClick()) ButtonEditClick();
  });

  const struct {
    const char* Name;
    const char* Text;
    const char* Hint;
  } lineButtons[] = {{"ButtonMoveDown", "\u25BC", "Move Down"}, {"ButtonMoveUp", "\u25B2", "Move Up"},
                     {"ButtonAddLine", "+", "Add Line"},        {"ButtonDeleteLine", "\u2212", "Delete Line"},
                     {"ButtonEdit", "\u270E", "Edit Line"}};
  for (const auto& b : lineButtons) {
    auto* button = new QToolButton(FPanelProfile);
    button->setObjectName(QString::fromLatin1(b.Name));
    button->setText(QString::fromUtf8(b.Text));
    button->setToolTip(QString::fromLatin1(b.Hint));
  }
  connect(FPanelProfile->findChild<QToolButton*>(QStringLiteral("ButtonMoveDown")), &QToolButton::clicked, this,
          [this] { MoveLine(false); });
  connect(FPanelProfile->findChild<QToolButton*>(QStringLiteral("ButtonMoveUp")), &QToolButton::clicked, this,
          [this] { MoveLine(true); });
  connect(FPanelProfile->findChild<QToolButton*>(QStringLiteral("ButtonAddLine")), &QToolButton::clicked, this,
          &TFrameGraphBase::ButtonAddLineClick);
  connect(FPanelProfile->findChild<QToolButton*>(QStringLiteral("ButtonDeleteLine")), &QToolButton::clicked, this,
          &TFrameGraphBase::ButtonDeleteLineClick);
  connect(FPanelProfile->findChild<QToolButton*>(QStringLiteral("ButtonEdit")), &QToolButton::clicked, this,
          &TFrameGraphBase::ButtonEditClick);
  setMinimumWidth(FMinimumWidth);
}

TFrameGraphBase::~TFrameGraphBase() = default;

void TFrameGraphBase::DisconnectControls() {
  // Hiding the page on its way out moves the focus and makes the boxes
  // signal; by then the page's handlers are gone.
  for (QObject* child : findChildren<QObject*>()) child->disconnect(this);
  FPaintBox->OnMousePress = nullptr;
  FPaintBox->OnMouseMove = nullptr;
  FPaintBox->OnMouseRelease = nullptr;
  FPaintBox->OnWheel = nullptr;
  FPaintBox->OnOverlay = nullptr;
  FGridLine->SetOnDrawCell(nullptr);
}

QLabel* TFrameGraphBase::NewLabel(const QString& AText) {
  auto* label = new QLabel(AText, FPaintBox);
  label->setAttribute(Qt::WA_TranslucentBackground);
  return label;
}

QToolButton* TFrameGraphBase::NewToolButton(const QString& AName, const QString& AText, const QString& AHint) {
  auto* button = new QToolButton(FPaintBox);
  button->setObjectName(AName);
  button->setText(AText);
  button->setToolTip(AHint);
  button->setFixedSize(28, 26);
  return button;
}

QComboBox* TFrameGraphBase::NewRangeBox(const QString& AName, int ATag, const QStringList& AItems) {
  auto* box = new QComboBox(FPaintBox);
  box->setObjectName(AName);
  box->setProperty("Tag", ATag);
  box->setEditable(true);
  box->setInsertPolicy(QComboBox::NoInsert);
  box->addItems(AItems);
  box->setCurrentIndex(-1);
  box->setFixedWidth(72);
  box->lineEdit()->installEventFilter(this);
  connect(box, qOverload<int>(&QComboBox::activated), this, [this, box](int) { RangeBoxChange(box); });
  return box;
}

int TFrameGraphBase::BoxInteger(const QComboBox* ABox, int ADefault) {
  bool ok = false;
  const int value = ABox->currentText().trimmed().toInt(&ok);
  return ok ? value : ADefault;
}

bool TFrameGraphBase::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == FPanelSplit) {
    // Cast for the mouse events only: the panel gets paints and resizes too.
    auto globalX = [AEvent] { return static_cast<QMouseEvent*>(AEvent)->globalPosition().toPoint().x(); };
    switch (AEvent->type()) {
    case QEvent::MouseButtonPress:
      FXSplit = globalX();
      return true;
    case QEvent::MouseMove:
      if (FXSplit >= 0) {
        const int x = globalX();
        DragSplitter(x - FXSplit);
        FXSplit = x;
      }
      return true;
    case QEvent::MouseButtonRelease: FXSplit = -1; return true;
    default: break;
    }
    return false;
  }
  // Enter in the profile box or a range box runs its leave handler, selects
  // its text and is consumed; leaving the box runs the same handler.
  auto* edit = qobject_cast<QLineEdit*>(AWatched);
  QComboBox* box = edit ? qobject_cast<QComboBox*>(edit->parentWidget()) : nullptr;
  if (!box) return TDqFrame::eventFilter(AWatched, AEvent);
  const bool enter = AEvent->type() == QEvent::KeyPress &&
                     (static_cast<QKeyEvent*>(AEvent)->key() == Qt::Key_Return ||
                      static_cast<QKeyEvent*>(AEvent)->key() == Qt::Key_Enter);
  if (enter || AEvent->type() == QEvent::FocusOut) {
    if (box == FComboGraph) {
      if (enter) ComboGraphChange();
      else if (FActiveGraph) FComboGraph->setEditText(FActiveGraph->Name);
    } else {
      RangeBoxLeave(box);
    }
    if (enter) {
      edit->selectAll();
      return true;
    }
  }
  return TDqFrame::eventFilter(AWatched, AEvent);
}

void TFrameGraphBase::resizeEvent(QResizeEvent* AEvent) {
  TDqFrame::resizeEvent(AEvent);
  LayoutPage();
}

void TFrameGraphBase::LayoutPage() {
  const int w = width(), h = height();
  const int panelWidth = FPanelProfile->width();
  int graphWidth = w;
  if (!FPanelProfile->isHidden()) {
    FPanelProfile->setGeometry(w - panelWidth, 0, panelWidth, h);
    FPanelSplit->setGeometry(w - panelWidth - kSplitWidth, 0, kSplitWidth, h);
    FPanelSplit->show();
    graphWidth = w - panelWidth - kSplitWidth;
  } else {
    FPanelSplit->hide();
  }
  FPaintBox->setGeometry(0, 0, std::max(1, graphWidth), std::max(1, h));

  // The profile panel: buttons, profile box, line list, line buttons.
  const int pw = FPanelProfile->width();
  int x = 4;
  for (const char* name : {"ButtonCreateGraph", "ButtonDeleteGraph", "ButtonRenameGraph"}) {
    if (auto* b = FPanelProfile->findChild<QToolButton*>(QString::fromLatin1(name))) b->setGeometry(x, 6, 28, 26);
    x += 32;
  }
  FComboGraph->setGeometry(4, 38, pw - 8, 26);
  FGridLine->setGeometry(4, 70, pw - 8, std::max(24, h - 70 - 40));
  FGridLine->SetColWidths(0, std::max(24, FGridLine->width() - 2 * FGridLine->frameWidth()));
  const int by = h - 34;
  x = 4;
  for (const char* name : {"ButtonMoveDown", "ButtonMoveUp"}) {
    if (auto* b = FPanelProfile->findChild<QToolButton*>(QString::fromLatin1(name))) b->setGeometry(x, by, 28, 26);
    x += 32;
  }
  x = pw - 4 - 3 * 32 + 4;
  for (const char* name : {"ButtonAddLine", "ButtonDeleteLine", "ButtonEdit"}) {
    if (auto* b = FPanelProfile->findChild<QToolButton*>(QString::fromLatin1(name))) b->setGeometry(x, by, 28, 26);
    x += 32;
  }

  FButtonHide->move(FPaintBox->width() - FButtonHide->width() - 4, 6);
  LayoutControls();
  FBitmap = QImage(FPaintBox->size(), QImage::Format_RGB32);
  RenderGraph();
}

void TFrameGraphBase::SetProfilePanelVisible(bool AVisible) {
  if (AVisible == !FPanelProfile->isHidden()) return;
  if (AVisible) {
    FPanelProfile->show();
    FButtonHide->setText(QStringLiteral("Hide"));
    FMinimumWidth += FPanelProfile->width();
  } else {
    FPanelProfile->hide();
    FButtonHide->setText(QStringLiteral("Show"));
    FMinimumWidth -= FPanelProfile->width();
  }
  setMinimumWidth(std::max(0, FMinimumWidth));
  LayoutPage();
}

void TFrameGraphBase::DragSplitter(int ADelta) {
  const int panelWidth = FPanelProfile->width();
  const int graphWidth = FPaintBox->width();
  int d = ADelta;
  if (d > 0 && panelWidth - d < 200) d = panelWidth - 200;
  if (d < 0 && graphWidth + d < 494) d = 494 - graphWidth;
  if (d < 0 && graphWidth + d < 494) d = 0;
  FPanelProfile->resize(panelWidth - d, FPanelProfile->height());
  LayoutPage();
}

void TFrameGraphBase::FillBitmapBackground() {
  if (FBitmap.size() != FPaintBox->size()) FBitmap = QImage(FPaintBox->size(), QImage::Format_RGB32);
  FBitmap.fill(FColor);
}

// ---------------------------------------------------------------- profiles

bool TFrameGraphBase::FindChosenProfile() {
  const int index = FComboGraph->findText(FComboGraph->currentText(), Qt::MatchExactly);
  FGraphs.SetGraphIndex(index);
  FActiveGraph = FGraphs.GetGraphs(index);
  if (FActiveGraph) {
    FActiveGraph->SourceResolver = GraphSourceOf;
    for (int i = 0; i < FActiveGraph->LineCount(); ++i) {
      TDqTrendLine* line = FActiveGraph->GetLines(i);
      line->ValueObject = GraphSourceOf(line->ValueObjectID);
    }
  }
  return FActiveGraph != nullptr;
}

void TFrameGraphBase::LoadProfiles(int AIndex) {
  FActiveGraph = nullptr;
  FGraphs.LoadFromDB(*GetDatabase(), kGraphTable, kLineTable);
  FComboGraph->blockSignals(true);
  FComboGraph->clear();
  for (int i = 0; i < FGraphs.Count(); ++i) FComboGraph->addItem(FGraphs.GetGraphs(i)->Name);
  FComboGraph->setCurrentIndex(AIndex < FComboGraph->count() ? AIndex : -1);
  if (FComboGraph->currentIndex() < 0) FComboGraph->setEditText(QString());
  FComboGraph->blockSignals(false);
  ComboGraphChange();
}

void TFrameGraphBase::WithSamplingStopped(const std::function<void()>& AWork) {
  StopSampling();
  try {
    AWork();
  } catch (...) {
    StartSampling();
    throw;
  }
  StartSampling();
}

void TFrameGraphBase::CreateProfile(const QString& AName) {
  WithSamplingStopped([&] {
    const int items = FComboGraph->count();
    TDqTrendGraph* graph = FGraphs.AddGraph();
    FActiveGraph = graph;
    graph->Name = AName;
    graph->AppendRecord(*GetDatabase(), kGraphTable);
    LoadProfiles(items);
    NotifyOtherPage();
  });
}

void TFrameGraphBase::RenameProfile(const QString& AName) {
  if (!FActiveGraph) return;
  WithSamplingStopped([&] {
    FActiveGraph->Name = AName;
    FActiveGraph->UpdateRecord(*GetDatabase(), kGraphTable, QString());
    LoadProfiles(FComboGraph->currentIndex());
    NotifyOtherPage();
  });
}

void TFrameGraphBase::DeleteProfile() {
  if (!FActiveGraph) return;
  WithSamplingStopped([&] {
    TSQLiteParamList lines;
    lines.SetParamValues(":GraphID", FActiveGraph->ID);
    GetDatabase()->ExecSQL(QStringLiteral("DELETE FROM GraphLine WHERE GraphID = :GraphID"), &lines);
    TSQLiteParamList graph;
    graph.SetParamValues(":ID", FActiveGraph->ID);
    GetDatabase()->ExecSQL(QStringLiteral("DELETE FROM Graph WHERE ID = :ID"), &graph);
    LoadProfiles(std::min(FComboGraph->currentIndex(), FComboGraph->count() - 2));
    NotifyOtherPage();
  });
}

void TFrameGraphBase::AddLine(std::unique_ptr<TDqTrendLine> ALine) {
  if (!FActiveGraph || !ALine) return;
  TDqTrendLine* line = ALine.get();
  FActiveGraph->Add(std::move(ALine));
  line->AppendRecord(*GetDatabase(), kLineTable);
  UpdateLineGrid();
  NotifyOtherPage();
}

void TFrameGraphBase::LineEdited() {
  if (!FActiveGraph) return;
  FActiveGraph->UpdateRecord(*GetDatabase(), kGraphTable, kLineTable);
  ComboGraphChange();
  NotifyOtherPage();
}

void TFrameGraphBase::DeleteSelectedLines() {
  if (!FActiveGraph || FActiveGraph->LineCount() == 0) return;
  const TDqDrawGrid::TGridRect selection = FGridLine->Selection();
  for (int row = selection.Bottom; row >= selection.Top; --row) FActiveGraph->DeleteLine(row);
  FActiveGraph->UpdateRecord(*GetDatabase(), kGraphTable, kLineTable);
  ComboGraphChange();
  NotifyOtherPage();
}

void TFrameGraphBase::MoveLine(bool AUp) {
  if (!FActiveGraph || FActiveGraph->LineCount() == 0) return;
  WithSamplingStopped([&] {
    const int row = FGridLine->Row();
    if (AUp)
      FActiveGraph->MoveLineUp(row);
    else
      FActiveGraph->MoveLineDown(row);
    FActiveGraph->UpdateRecord(*GetDatabase(), kGraphTable, kLineTable);
    const int target = AUp ? std::max(0, row - 1) : std::min(FGridLine->RowCount() - 1, row + 1);
    ComboGraphChange();
    FGridLine->SetRow(target);
    NotifyOtherPage();
  });
}

TDqColor TFrameGraphBase::NextLineColor() const {
  if (!FActiveGraph || FActiveGraph->LineCount() == 0) return SuggestLineColor(nullptr);
  const TDqColor last = FActiveGraph->GetLines(FActiveGraph->LineCount() - 1)->Color;
  return SuggestLineColor(&last);
}

void TFrameGraphBase::SaveImage(const QString& AFileName, int AFilterIndex) const {
  SaveImageFile(FBitmap, AFileName, ImageFormatOfFilter(AFilterIndex));
}

// ---------------------------------------------------------------- line grid

void TFrameGraphBase::UpdateLineGrid() {
  FGridLine->SetRowCount(std::max(1, FActiveGraph ? FActiveGraph->LineCount() : 0));
  FGridLine->viewport()->update();
}

void TFrameGraphBase::DrawLineRow(QPainter& ACanvas, int ARow, const QRect& ARect) {
  const TDqTrendLine* line = FActiveGraph ? FActiveGraph->GetLines(ARow) : nullptr;
  if (!line) return;
  QRect r = ARect.adjusted(2, 2, -2, -2);
  r.setWidth(30);
  ACanvas.save();
  ACanvas.fillRect(r, ToQColor(line->Color));
  QFont bold = ACanvas.font();
  bold.setBold(true);
  ACanvas.setFont(bold);
  ACanvas.setPen(ToQColor(ContrastColor(line->Color)));
  const QString number = QString::number(ARow + 1);
  const QFontMetrics boldMetrics = ACanvas.fontMetrics();
  ACanvas.drawText(r.left() + (r.width() - boldMetrics.horizontalAdvance(number)) / 2, r.top() + 2 + boldMetrics.ascent(),
                   number);
  QFont plain = ACanvas.font();
  plain.setBold(false);
  ACanvas.setFont(plain);
  const QFontMetrics fm = ACanvas.fontMetrics();
  const int right = r.left() + r.width();
  const int baseline = r.top() + 2 + fm.ascent();
  const QString bracket = LineRowBracket(*line);
  const QColor text = FGridLine->palette().color(QPalette::Text);
  ACanvas.setPen(text);
  ACanvas.drawText(right + 4, baseline, bracket);
  ACanvas.setPen(ToQColor(line->Color));
  ACanvas.drawText(right + 8 + fm.horizontalAdvance(bracket), baseline, LineRowValue(*line));
  ACanvas.setPen(text);
  ACanvas.drawText(right + 96, baseline, line->Name);
  ACanvas.restore();
}

// ---------------------------------------------------------------- buttons

void TFrameGraphBase::ButtonCreateGraphClick() {
  TFormEditGraph dialog(this);
  dialog.PlaceAtPointer(QCursor::pos());
  if (dialog.exec() == QDialog::Accepted) CreateProfile(dialog.GraphName());
}

void TFrameGraphBase::ButtonRenameGraphClick() {
  if (!FActiveGraph) return;
  TFormEditGraph dialog(this);
  dialog.SetGraphName(FActiveGraph->Name);
  dialog.PlaceAtPointer(QCursor::pos());
  if (dialog.exec() == QDialog::Accepted) RenameProfile(dialog.GraphName());
}

void TFrameGraphBase::ButtonDeleteGraphClick() {
  if (!FActiveGraph) return;
  if (ShowDialogYN(QStringLiteral("Are you sure to delete this profile?")) == mrYes) DeleteProfile();
}

void TFrameGraphBase::ButtonAddLineClick() {
  if (!FActiveGraph) return;
  TFormEditLine dialog(this);
  dialog.SetLineColor(NextLineColor());
  if (dialog.exec() == QDialog::Accepted) AddLine(dialog.TakeNewLine());
}

void TFrameGraphBase::ButtonEditClick() {
  if (!FActiveGraph) return;
  TDqTrendLine* line = FActiveGraph->GetLines(FGridLine->Row());
  if (!line) return;
  TFormEditLine dialog(this);
  dialog.SetLine(line);
  if (dialog.exec() == QDialog::Accepted) LineEdited();
}

void TFrameGraphBase::ButtonDeleteLineClick() {
  if (!FActiveGraph || FActiveGraph->LineCount() == 0) return;
  if (ShowDialogYN(QStringLiteral("Are you sure to delete selected Line(s)?")) == mrYes) DeleteSelectedLines();
}

void TFrameGraphBase::ButtonBMPClick() {
  QFileDialog dialog(this, QStringLiteral("Export Graph Image"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  const QStringList filters = {QStringLiteral("JPG Files (*.jpg)"), QStringLiteral("BMP Files (*.bmp)"),
                               QStringLiteral("PNG Files (*.png)"), QStringLiteral("GIF Files (*.gif)")};
  dialog.setNameFilters(filters);
  dialog.setDefaultSuffix(QStringLiteral("jpg"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const int filter = static_cast<int>(filters.indexOf(dialog.selectedNameFilter())) + 1;
  SaveImage(dialog.selectedFiles().first(), filter);
}
