#include "DqFrameList.h"

#include "core/DqRoutine.h"

#include <QMetaObject>

TDqFrame::TDqFrame(QWidget* AOwner) : QFrame(AOwner) {}

QString FrameClassName(TFrameClass AClass) {
  return AClass ? QString::fromLatin1(AClass->className()) : QString();
}

bool FrameIsClass(const QWidget* AFrame, TFrameClass AClass) {
  return AFrame && AClass && AFrame->metaObject()->inherits(AClass);
}

TDqFrame* CreateFrame(TFrameClass AClass) {
  QObject* object = AClass->newInstance(Q_ARG(QWidget*, nullptr));
  auto* frame = qobject_cast<TDqFrame*>(object);
  if (!frame) {
    delete object;
    throw EDqException(QStringLiteral("Not defined frame class ") + FrameClassName(AClass));
  }
  return frame;
}

// ----- TFrameClassList

TFrameClassItem* TFrameClassList::AddClass(TFrameClass AClass, const QString& AName) {
  FItems.push_back(std::make_unique<TFrameClassItem>(AClass, AName));
  return FItems.back().get();
}

int TFrameClassList::IndexOfClass(TFrameClass AClass) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (FItems[i]->Class() == AClass) return i;
  return -1;
}

int TFrameClassList::IndexOfName(const QString& AName) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (FItems[i]->Name() == AName) return i;
  return -1;
}

TFrameClassItem* TFrameClassList::GetClassItems(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EDqException(QStringLiteral("Frame class index out of bound"));
  return FItems[AIndex].get();
}

TFrameClass TFrameClassList::GetClassByName(const QString& AName) const {
  const int index = IndexOfName(AName);
  return index < 0 ? nullptr : FItems[index]->Class();
}

// ----- TDqFrameList

TDqFrameList::TDqFrameList(QWidget* AParent, int ALeft, int ATop) : FParent(AParent), FLeft(ALeft), FTop(ATop) {}

TDqFrameList::~TDqFrameList() { Clear(); }

TDqFrame* TDqFrameList::SelectFrame(TFrameClass AClass) {
  if (FClasses.IndexOfClass(AClass) < 0)
    throw EDqException(QStringLiteral("Not defined frame class ") + FrameClassName(AClass));
  if (TDqFrame* frame = GetFrameByClass(AClass)) return frame;
  TDqFrame* frame = CreateFrame(AClass);
  frame->move(FLeft, FTop);
  if (FParent) frame->setParent(FParent);
  FFrames.push_back(frame);
  return frame;
}

TDqFrame* TDqFrameList::SelectFrame(int AClassIndex) { return SelectFrame(FClasses.GetClasses(AClassIndex)); }

TDqFrame* TDqFrameList::SelectFrame(const QString& AName) {
  TFrameClass frameClass = FClasses.GetClassByName(AName);
  if (!frameClass) throw EDqException(QStringLiteral("Not defined frame class name ") + AName);
  return SelectFrame(frameClass);
}

int TDqFrameList::IndexOfFrame(const QWidget* AFrame) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (FFrames[i].data() == AFrame) return i;
  return -1;
}

int TDqFrameList::IndexOfClass(TFrameClass AClass) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (FrameIsClass(FFrames[i], AClass)) return i;
  return -1;
}

int TDqFrameList::IndexOfName(const QString& AName) const {
  TFrameClass frameClass = FClasses.GetClassByName(AName);
  return frameClass ? IndexOfClass(frameClass) : -1;
}

TDqFrame* TDqFrameList::GetFrames(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EDqException(QStringLiteral("Frame index out of bound"));
  return FFrames[AIndex];
}

TDqFrame* TDqFrameList::GetFrameByClass(TFrameClass AClass) const {
  const int index = IndexOfClass(AClass);
  return index < 0 ? nullptr : FFrames[index];
}

TDqFrame* TDqFrameList::GetFrameByName(const QString& AName) const {
  const int index = IndexOfName(AName);
  return index < 0 ? nullptr : FFrames[index];
}

void TDqFrameList::Clear() {
  std::vector<QPointer<TDqFrame>> frames;
  frames.swap(FFrames);
  for (const QPointer<TDqFrame>& frame : frames) delete frame.data();
}
