#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

namespace {

const QByteArray kActivate = QByteArrayLiteral("activate\n");

// Socket paths are short (108 bytes) and may not hold '/', while the names are URLs: the path
// carries a digest of the name instead.
QString PathFor(const QString& name) {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty()) folder = QDir::tempPath();
  QByteArray digest = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
  return folder + QStringLiteral("/orba-downloader-") + QString::fromLatin1(digest);
}

}  // namespace

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent), serverName_(PathFor(name)) {
  lock_ = std::make_unique<QLockFile>(serverName_ + QStringLiteral(".lock"));
  // The lock never goes stale by age: the holder runs as long as it likes. A dead holder's lock
  // is taken over (QLockFile checks its process).
  lock_->setStaleLockTime(0);
  if (!lock_->tryLock(0)) {
    first_ = lock_->error() != QLockFile::LockFailedError;
    return;
  }
  // The lock is ours, so a socket left at the path belongs to a holder that died.
  QLocalServer::removeServer(serverName_);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
  server_->listen(serverName_);
}

SingleInstance::~SingleInstance() {
  if (server_ != nullptr) server_->close();
}

bool SingleInstance::ActivateFirst(int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(serverName_);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kActivate);
  bool written = socket.waitForBytesWritten(timeoutMs);
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeoutMs);
  return written;
}

void SingleInstance::OnConnection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // The request may arrive in pieces; only a whole request counts.
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) return;
      QByteArray line = socket->readLine();
      if (line == kActivate) emit activationRequested();
      socket->disconnectFromServer();
    });
  }
}

QString WindowInstanceName(const QString& builtInFileListUrl) {
  return QStringLiteral("%1::%2").arg(QStringLiteral("QTX-Downloader"), builtInFileListUrl).left(260);
}

QString FolderInstanceName(const QString& folder) {
  QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
  QString canonical = QFileInfo(path).canonicalFilePath();
  return QStringLiteral("%1::%2").arg(QStringLiteral("QTX-Downloader-folder"),
                                      canonical.isEmpty() ? path : canonical);
}
