#pragma once
// One running downloader per name, as a named mutex gives it: the first process to claim a name
// holds it for its life and listens on a local socket; a later process with the same name learns
// that it is not the first and can ask the first to show its window.
//
//   SingleInstance instance(WindowInstanceName(BuiltInFileListUrl()));
//   if (!instance.IsFirst()) { ...message...; instance.ActivateFirst(); return 1; }
//   QObject::connect(&instance, &SingleInstance::activationRequested, &dialog, ...raise...);
//
// Names are per user (the claim lives in the user's runtime folder). A claim that cannot be made
// for another reason (no writable folder) does not count as another instance: the process runs.

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  explicit SingleInstance(const QString& name, QObject* parent = nullptr);
  ~SingleInstance() override;

  // False when another process (or another object of this process) holds the name.
  bool IsFirst() const { return first_; }
  // Asks the holder of the name to show its window; true when the request was delivered.
  bool ActivateFirst(int timeoutMs = 3000);
  // The local socket's full path.
  const QString& ServerName() const { return serverName_; }

 signals:
  // A later instance asked this one to restore and raise its window.
  void activationRequested();

 private:
  void OnConnection();

  QString serverName_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer* server_ = nullptr;
  bool first_ = true;
};

// The window's name: "%s::%s" with "QTX-Downloader" and the built-in file-list URL, cut to 260
// characters. A list given on the command line does not change it.
QString WindowInstanceName(const QString& builtInFileListUrl);
// A download folder's name: one download into one folder at a time, whatever the list, by a
// window or a headless run alike. The window's own name above does not block a headless run.
QString FolderInstanceName(const QString& folder);
