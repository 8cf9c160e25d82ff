#include "app/CResumeDlg.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CResumeDlg::CResumeDlg(QWidget* parent) : QDialog(parent) {
  // The trailing space belongs to the title.
  setWindowTitle(QStringLiteral("이어받기 "));
  exists_ = new QLabel(QStringLiteral("下載的檔案已存在。"), this);
  question_ = new QLabel(QStringLiteral("是否繼續上次的下載？"), this);
  applyToAllBox_ = new QCheckBox(QStringLiteral("適用整體檔案"), this);
  applyToAllBox_->setChecked(applyToAll_);
  confirm_ = new QPushButton(QStringLiteral("確認"), this);
  cancel_ = new QPushButton(QStringLiteral("取消"), this);
  // Enter ends the dialog as a whole (accept) instead of pressing a button, so that it leaves the
  // answers untouched.
  for (QPushButton* button : {confirm_, cancel_}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  connect(confirm_, &QPushButton::clicked, this, [this] { Answer(true); });
  connect(cancel_, &QPushButton::clicked, this, [this] { Answer(false); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(confirm_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(exists_);
  layout->addWidget(question_);
  layout->addSpacing(6);
  layout->addWidget(applyToAllBox_);
  layout->addLayout(buttons);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

void CResumeDlg::Answer(bool resume) {
  resume_ = resume;
  close();
}

void CResumeDlg::closeEvent(QCloseEvent* event) {
  applyToAll_ = applyToAllBox_->isChecked();
  QDialog::closeEvent(event);  // ends the dialog as cancelled
}

void CResumeDlg::keyPressEvent(QKeyEvent* event) {
  if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
    switch (event->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
        accept();
        return;
      case Qt::Key_Escape:
        reject();
        return;
      default:
        break;
    }
  }
  QDialog::keyPressEvent(event);
}
