#include "app/FolderBrowserDialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStorageInfo>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/Formats.h"

QString FolderInstructionText(const QString& requiredSize) {
  return QStringLiteral("至少需要 %1 容量。\n").arg(requiredSize);
}

QString FolderInstructionText(const QString& requiredSize, int64_t freeBytes) {
  return QStringLiteral("至少需要 %1 容量。\n剩餘容量：%2")
      .arg(requiredSize, FormatSize(static_cast<double>(freeBytes)));
}

int64_t FolderFreeBytes(const QString& folder) {
  QStorageInfo storage(folder);
  if (!storage.isValid() || !storage.isReady()) return 0;
  qint64 free = storage.bytesFree();
  return free > 0 ? free : 0;
}

FolderBrowserDialog::FolderBrowserDialog(const QString& currentFolder, const QString& requiredSize,
                                         QWidget* parent)
    : QDialog(parent), requiredSize_(requiredSize) {
  setWindowTitle(QStringLiteral("瀏覽資料夾"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  instruction_ = new QLabel(FolderInstructionText(requiredSize_), this);
  instruction_->setWordWrap(true);

  model_ = new QFileSystemModel(this);
  // Folders of the file systems only, as a folder browser shows them.
  model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  model_->setRootPath(QDir::rootPath());
  tree_ = new QTreeView(this);
  tree_->setModel(model_);
  tree_->setHeaderHidden(true);
  for (int column = 1; column < model_->columnCount(); ++column) tree_->hideColumn(column);
  tree_->setRootIndex(model_->index(QDir::rootPath()).parent());
  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current, const QModelIndex&) { OnSelectionChanged(current); });

  newFolder_ = new QPushButton(QStringLiteral("新增資料夾"), this);
  newFolder_->setAutoDefault(false);
  connect(newFolder_, &QPushButton::clicked, this, &FolderBrowserDialog::OnNewFolder);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("確定"));
  buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(newFolder_);
  bottom->addStretch(1);
  bottom->addWidget(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(instruction_);
  layout->addWidget(tree_, 1);
  layout->addLayout(bottom);
  resize(360, 420);

  if (!currentFolder.isEmpty()) SelectFolder(currentFolder);
}

QString FolderBrowserDialog::SelectedFolder() const {
  QModelIndex current = tree_->currentIndex();
  return current.isValid() ? model_->filePath(current) : QString();
}

void FolderBrowserDialog::SelectFolder(const QString& folder) {
  QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
  QModelIndex index = model_->index(path);
  if (!index.isValid()) return;
  tree_->setCurrentIndex(index);
  tree_->scrollTo(index);
}

QString FolderBrowserDialog::InstructionText() const { return instruction_->text(); }

void FolderBrowserDialog::OnSelectionChanged(const QModelIndex& current) {
  if (!current.isValid()) return;
  instruction_->setText(FolderInstructionText(requiredSize_, FolderFreeBytes(model_->filePath(current))));
}

void FolderBrowserDialog::OnNewFolder() {
  QString parent = SelectedFolder();
  if (parent.isEmpty()) return;
  QDir dir(parent);
  QString name = QStringLiteral("新資料夾");
  for (int n = 2; dir.exists(name) && n < 1000; ++n) name = QStringLiteral("新資料夾 (%1)").arg(n);
  if (!dir.mkdir(name)) return;
  SelectFolder(dir.filePath(name));
}
