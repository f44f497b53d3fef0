// Frames (pages) and the registry that creates them on demand by class or
// by name. A frame class is a TDqFrame subclass with Q_OBJECT and a
// Q_INVOKABLE constructor taking the owner widget.
#pragma once

#include <QFrame>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

struct QMetaObject;

// Base of every page: a plain frame with an optional enter handler.
class TDqFrame : public QFrame {
  Q_OBJECT
public:
  using TNotifyEvent = std::function<void(TDqFrame* ASender)>;
  explicit TDqFrame(QWidget* AOwner = nullptr);
  const TNotifyEvent& OnEnter() const { return FOnEnter; }
  void SetOnEnter(TNotifyEvent AHandler) { FOnEnter = std::move(AHandler); }

private:
  TNotifyEvent FOnEnter;
};

using TFrameClass = const QMetaObject*;

// Name of a frame class ("TFrameMonitor").
QString FrameClassName(TFrameClass AClass);
// Whether AFrame is of AClass or derived from it.
bool FrameIsClass(const QWidget* AFrame, TFrameClass AClass);
// A new frame of AClass without owner.
TDqFrame* CreateFrame(TFrameClass AClass);

class TFrameClassItem {
public:
  TFrameClassItem(TFrameClass AClass, const QString& AName) : FClass(AClass), FName(AName) {}
  TFrameClass Class() const { return FClass; }
  const QString& Name() const { return FName; }

private:
  TFrameClass FClass;
  QString FName;
};

class TFrameClassList {
public:
  int Count() const { return static_cast<int>(FItems.size()); }
  TFrameClassItem* AddClass(TFrameClass AClass, const QString& AName);
  int IndexOfClass(TFrameClass AClass) const;
  int IndexOfName(const QString& AName) const;
  TFrameClassItem* GetClassItems(int AIndex) const;
  TFrameClass GetClasses(int AIndex) const { return GetClassItems(AIndex)->Class(); }
  TFrameClass GetClassByName(const QString& AName) const;
  QString GetNames(int AIndex) const { return GetClassItems(AIndex)->Name(); }

private:
  std::vector<std::unique_ptr<TFrameClassItem>> FItems;
};

// Owns the frames it creates; they are placed in FParent at (FLeft, FTop).
class TDqFrameList {
public:
  explicit TDqFrameList(QWidget* AParent = nullptr, int ALeft = 0, int ATop = 0);
  ~TDqFrameList();
  TDqFrameList(const TDqFrameList&) = delete;
  TDqFrameList& operator=(const TDqFrameList&) = delete;

  TFrameClassList& Classes() { return FClasses; }
  TFrameClassItem* AddClass(TFrameClass AClass, const QString& AName) { return FClasses.AddClass(AClass, AName); }
  template <class T> TFrameClassItem* AddClass(const QString& AName) { return AddClass(&T::staticMetaObject, AName); }

  TDqFrame* SelectFrame(TFrameClass AClass);
  TDqFrame* SelectFrame(int AClassIndex);
  TDqFrame* SelectFrame(const QString& AName);

  int Count() const { return static_cast<int>(FFrames.size()); }
  int IndexOfFrame(const QWidget* AFrame) const;
  int IndexOfClass(TFrameClass AClass) const;
  int IndexOfName(const QString& AName) const;
  TDqFrame* GetFrames(int AIndex) const;
  TDqFrame* GetFrameByClass(TFrameClass AClass) const;
  TDqFrame* GetFrameByName(const QString& AName) const;
  void Clear();

  QWidget* Parent() const { return FParent; }

private:
  TFrameClassList FClasses;
  // Owned; QPointer because a frame's parent widget may go first.
  std::vector<QPointer<TDqFrame>> FFrames;
  QWidget* FParent;
  int FLeft;
  int FTop;
};
