#include "ui/base/Form_Dialog.h"
#include "ui/base/Main_Routine.h"
#include "ui/UiTestSupport.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QSet>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;

namespace {

QPushButton* Button(QWidget* ADialog, const char* AName) {
  return ADialog->findChild<QPushButton*>(QString::fromLatin1(AName));
}

TEST(MainRoutine, MessageDialogsAnswerWithTheirModalResults) {
  struct Case {
    const char* Dialog;
    const char* Press; // button name, or "Escape" / "Return"
    int Result;
  } const cases[] = {
      {"OK", "ButtonOK", mrYes},  {"OK", "Escape", mrYes},     {"OK", "Return", mrYes},
      {"YN", "ButtonYes", mrYes}, {"YN", "ButtonNo", mrNo},    {"YN", "Escape", mrNo},
      {"YNC", "ButtonYes", mrYes}, {"YNC", "ButtonNo", mrNo},  {"YNC", "ButtonCancel", mrCancel},
      {"YNC", "Escape", mrCancel},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Dialog) + " " + c.Press);
    QString caption;
    ModalAnswers answers;
    answers.Then([&](QWidget* ADialog) {
      caption = ADialog->windowTitle();
      const std::string press = c.Press;
      if (press == "Escape") QTest::keyClick(ADialog, Qt::Key_Escape);
      else if (press == "Return") QTest::keyClick(ADialog, Qt::Key_Return);
      else tervox_test::Click(Button(ADialog, c.Press));
    });
    const std::string dialog = c.Dialog;
    const QString text = QStringLiteral("Proceed?");
    const int result = dialog == "OK" ? ShowDialogOK(text) : dialog == "YN" ? ShowDialogYN(text) : ShowDialogYNC(text);
    EXPECT_EQ(result, c.Result);
    EXPECT_EQ(answers.Texts, QStringList{text});
    if (dialog != "OK") {
      EXPECT_EQ(caption, QStringLiteral("Select your choice?"));
    }
  }
}

TEST(MainRoutine, LongTextWidensTheDialogAndButtonsStayCentred) {
  TFormDialogYN dialog;
  const int initial = dialog.width();
  const QString text(120, QLatin1Char('W'));
  dialog.SetText(text);
  auto* label = dialog.findChild<QLabel*>(QStringLiteral("LabelText"));
  const int textWidth = label->sizeHint().width();
  ASSERT_GT(textWidth + 32, initial);
  EXPECT_EQ(dialog.width(), textWidth + 32);
  const int centre = dialog.width() / 2;
  EXPECT_EQ(Button(&dialog, "ButtonYes")->geometry().right() + 1, centre - 4);
  EXPECT_EQ(Button(&dialog, "ButtonNo")->x(), centre + 4);
  // A short text keeps the design width.
  TFormDialogOK small;
  small.SetText(QStringLiteral("Hi"));
  EXPECT_EQ(small.width(), initial);
  const QRect ok = Button(&small, "ButtonOK")->geometry();
  EXPECT_NEAR(ok.center().x(), small.width() / 2, 1);
}

TEST(MainRoutine, ArtworkIsCompiledInAtItsSizes) {
  struct Picture {
    const char* Name;
    QSize Size;
  } const pictures[] = {{"LOGIN", {360, 280}},  {"MONITOR", {72, 48}}, {"DEVICE", {72, 48}},
                        {"TREND", {72, 48}},    {"GRAPH", {72, 48}},   {"REPORT", {72, 48}},
                        {"LOG", {72, 48}},      {"REFRESH", {72, 48}}};
  for (const Picture& p : pictures) {
    QPixmap picture;
    LoadPngResource(picture, QString::fromLatin1(p.Name), QStringLiteral("PNG"));
    EXPECT_EQ(picture.size(), p.Size) << p.Name;
    // Drawn, not blank: the pictures hold more than one colour.
    const QImage image = picture.toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) colours.insert(image.pixel(x, y));
    EXPECT_GT(colours.size(), 16) << p.Name;
  }
  EXPECT_FALSE(LoadPngResource(QStringLiteral("LOGO")).isNull());
  try {
    LoadPngResource(QStringLiteral("NOPE"));
    FAIL() << "a missing picture must raise";
  } catch (const EDqException& e) {
    EXPECT_TRUE(e.Message().contains(QStringLiteral(":/PNG/NOPE.png")));
  }
}

class TMessageProbe : public QWidget {
public:
  bool event(QEvent* AEvent) override {
    if (AEvent->type() == TDqMessageEvent::EventType(WM_READ_FINISHED)) {
      auto* message = static_cast<TDqMessageEvent*>(AEvent);
      Received.push_back({message->Msg, message->WParam, message->LParam});
      return true;
    }
    return QWidget::event(AEvent);
  }
  std::vector<std::tuple<int, qintptr, qintptr>> Received;
};

TEST(MainRoutine, NotifyControlSendsReadFinishedAtOnce) {
  TMessageProbe probe;
  NotifyControl(&probe);
  NotifyControl(nullptr);
  ASSERT_EQ(probe.Received.size(), 1u);
  EXPECT_EQ(std::get<0>(probe.Received[0]), 1027);
  EXPECT_EQ(std::get<1>(probe.Received[0]), 0);
  EXPECT_EQ(std::get<2>(probe.Received[0]), 0);
}

TEST(MainRoutine, AnExceptionIsShownInAnErrorBox) {
  ModalAnswers answers;
  answers.Then([](QWidget* ADialog) {
    auto* box = qobject_cast<QMessageBox*>(ADialog);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    tervox_test::AnswerBox(ADialog, QMessageBox::Ok);
  });
  try {
    throw EDqException(QStringLiteral("Failed to add usage log"));
  } catch (...) {
    ShowException(std::current_exception());
  }
  EXPECT_EQ(answers.Texts, QStringList{QStringLiteral("Failed to add usage log")});
}

} // namespace
