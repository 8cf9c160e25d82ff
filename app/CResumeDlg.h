#pragma once
// The question shown when earlier data of a download was found: resume it or start over, and
// whether the answer holds for every file of the job. Run it with exec(), then read Resume() and
// ApplyToAll(). Both start as true; only the two buttons change the first, and only closing the
// window (the buttons close it too) reads the check box into the second, so Enter and Esc keep
// whatever was set before.

#include <QDialog>

class QCheckBox;
class QLabel;
class QPushButton;

class CResumeDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CResumeDlg(QWidget* parent = nullptr);

  bool Resume() const { return resume_; }
  bool ApplyToAll() const { return applyToAll_; }

  // The controls, for tests.
  QCheckBox* ApplyToAllBox() const { return applyToAllBox_; }
  QPushButton* ConfirmButton() const { return confirm_; }
  QPushButton* CancelButton() const { return cancel_; }
  QLabel* ExistsText() const { return exists_; }
  QLabel* QuestionText() const { return question_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Answer(bool resume);

  bool resume_ = true;
  bool applyToAll_ = true;
  QCheckBox* applyToAllBox_ = nullptr;
  QLabel* exists_ = nullptr;
  QLabel* question_ = nullptr;
  QPushButton* confirm_ = nullptr;
  QPushButton* cancel_ = nullptr;
};
