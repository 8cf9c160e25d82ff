#pragma once
// The destination folder chooser: a folder tree of the file systems, preselecting the current
// folder, with an instruction text that names the size the download needs and, once a folder is
// selected, the free space of that folder's file system, refreshed at every selection change.

#include <QDialog>
#include <QString>
#include <cstdint>

class QFileSystemModel;
class QLabel;
class QModelIndex;
class QPushButton;
class QTreeView;

// "至少需要 <required> 容量。\n" before any selection.
QString FolderInstructionText(const QString& requiredSize);
// "至少需要 <required> 容量。\n剩餘容量：<free>" with `freeBytes` in the window's size format.
QString FolderInstructionText(const QString& requiredSize, int64_t freeBytes);
// Every free byte of the file system that holds `folder` (0 when it cannot be read).
int64_t FolderFreeBytes(const QString& folder);

class FolderBrowserDialog : public QDialog {
  Q_OBJECT

 public:
  FolderBrowserDialog(const QString& currentFolder, const QString& requiredSize, QWidget* parent = nullptr);

  // The selected folder (empty when none).
  QString SelectedFolder() const;
  // Selects `folder` as if the user had clicked it.
  void SelectFolder(const QString& folder);
  QString InstructionText() const;

 private:
  void OnSelectionChanged(const QModelIndex& current);
  void OnNewFolder();

  QString requiredSize_;
  QLabel* instruction_ = nullptr;
  QFileSystemModel* model_ = nullptr;
  QTreeView* tree_ = nullptr;
  QPushButton* newFolder_ = nullptr;
};
