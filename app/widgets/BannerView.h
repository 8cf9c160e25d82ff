#pragma once
// The banner on the left of the main window: fetches one picture from a web address and shows it
// scaled into the area, its proportions kept, from the top-left corner (no scroll bars). An
// animated GIF plays; any other picture Qt can read is shown still. A failed fetch leaves the
// area as it was painted.

#include <QByteArray>
#include <QLabel>
#include <QPointer>
#include <QSize>
#include <QString>
#include <memory>

class QBuffer;
class QMovie;
class QNetworkAccessManager;
class QNetworkReply;

class BannerView : public QLabel {
  Q_OBJECT

 public:
  explicit BannerView(QWidget* parent = nullptr);
  ~BannerView() override;

  // Starts fetching `url`; a fetch still running is abandoned. An empty or invalid URL shows nothing.
  void Navigate(const QString& url);

  // Whether a picture arrived and is shown, and its size.
  bool HasPicture() const { return hasPicture_; }
  QSize PictureSize() const { return pictureSize_; }
  bool IsAnimated() const { return movie_ != nullptr; }

 signals:
  // The fetch ended, with a picture shown (true) or without (false).
  void loaded(bool shown);

 private:
  void OnFinished(QNetworkReply* reply);
  bool Show(const QByteArray& bytes);
  // The picture's size scaled into the area, proportions kept.
  QSize FittedSize(QSize picture) const;
  void Clear();

  QNetworkAccessManager* network_ = nullptr;
  QPointer<QNetworkReply> reply_;
  QMovie* movie_ = nullptr;
  QBuffer* movieData_ = nullptr;
  bool hasPicture_ = false;
  QSize pictureSize_;
};
