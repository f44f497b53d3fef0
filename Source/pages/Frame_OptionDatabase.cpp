#include "Frame_OptionDatabase.h"

#include "domain/Main_Database.h"
#include "shell/Main_Routine.h"

#include <QDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TFrameOptionDatabase::TFrameOptionDatabase(QWidget* AOwner)
    : TDqFrame(AOwner), FEditDatabase(new QLineEdit(this)),
      FButtonBrowse(new QPushButton(QStringLiteral("Browse..."), this)),
      FButtonReset(new QPushButton(QStringLiteral("Reset Database"), this)) {
  setObjectName(QStringLiteral("FrameOptionDatabase"));
  FEditDatabase->setObjectName(QStringLiteral("EditDatabase"));
  FButtonBrowse->setObjectName(QStringLiteral("ButtonBrowse"));
  FButtonReset->setObjectName(QStringLiteral("ButtonReset"));
  FEditDatabase->setReadOnly(true);
  FEditDatabase->setText(GetDatabaseFileName());
  FButtonBrowse->setEnabled(false); // the database's place is fixed
  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Database file:"), this), 0, 0);
  layout->addWidget(FEditDatabase, 0, 1);
  layout->addWidget(FButtonBrowse, 0, 2);
  layout->addWidget(FButtonReset, 1, 1, Qt::AlignLeft);
  layout->setColumnStretch(1, 1);
  layout->setRowStretch(2, 1);
  connect(FButtonReset, &QPushButton::clicked, this, &TFrameOptionDatabase::ButtonResetClick);
}

void TFrameOptionDatabase::ButtonResetClick() {
  if (!AskAdminPassword()) return;
  MainResetDatabase();
  if (FForm) FForm->accept();
}
