#include "app/widgets/BannerView.h"

#include <QBuffer>
#include <QMovie>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPixmap>
#include <QUrl>

namespace {

// A banner that has not arrived by then is not worth waiting for.
constexpr int kFetchTimeoutMs = 30000;

}  // namespace

BannerView::BannerView(QWidget* parent) : QLabel(parent), network_(new QNetworkAccessManager(this)) {
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
  setFrameShape(QFrame::NoFrame);
  // The picture keeps its own size; the area clips it instead of growing or scrolling.
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  setScaledContents(false);
  connect(network_, &QNetworkAccessManager::finished, this, &BannerView::OnFinished);
}

BannerView::~BannerView() { Clear(); }

void BannerView::Navigate(const QString& url) {
  if (reply_) {
    QNetworkReply* old = reply_;
    reply_ = nullptr;
    old->abort();
  }
  QUrl address(url);
  if (url.isEmpty() || !address.isValid() || address.scheme().isEmpty()) return;
  QNetworkRequest request(address);
  request.setTransferTimeout(kFetchTimeoutMs);
  reply_ = network_->get(request);
}

void BannerView::OnFinished(QNetworkReply* reply) {
  reply->deleteLater();
  if (reply != reply_) return;  // an abandoned fetch
  reply_ = nullptr;
  int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  bool ok = reply->error() == QNetworkReply::NoError && (status == 0 || (status >= 200 && status < 300));
  bool shown = ok && Show(reply->readAll());
  emit loaded(shown);
}

bool BannerView::Show(const QByteArray& bytes) {
  Clear();
  if (bytes.startsWith("GIF8")) {
    movieData_ = new QBuffer(this);
    movieData_->setData(bytes);
    movieData_->open(QIODevice::ReadOnly);
    movie_ = new QMovie(movieData_, "gif", this);
    if (movie_->isValid() && movie_->jumpToFrame(0) && !movie_->currentImage().isNull()) {
      pictureSize_ = movie_->currentImage().size();
      movie_->setScaledSize(FittedSize(pictureSize_));
      setMovie(movie_);
      movie_->start();
      hasPicture_ = true;
      return true;
    }
    Clear();
  }
  QPixmap picture;
  if (!picture.loadFromData(bytes)) return false;
  pictureSize_ = picture.size();
  setPixmap(picture.scaled(FittedSize(pictureSize_), Qt::KeepAspectRatio, Qt::SmoothTransformation));
  hasPicture_ = true;
  return true;
}

QSize BannerView::FittedSize(QSize picture) const {
  if (picture.isEmpty() || size().isEmpty()) return picture;
  return picture.scaled(size(), Qt::KeepAspectRatio);
}

void BannerView::Clear() {
  QLabel::clear();
  delete movie_;
  movie_ = nullptr;
  delete movieData_;
  movieData_ = nullptr;
  hasPicture_ = false;
  pictureSize_ = QSize();
}
