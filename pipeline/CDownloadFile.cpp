#include "pipeline/CDownloadFile.h"

#include <utility>

CDownloadFile::CDownloadFile(IDownloadFileEventListener* listener, std::string url, std::string hashUrl,
                             std::string folder, std::string name, std::string signatureUrl)
    : listener_(listener),
      url_(std::move(url)),
      hashUrl_(std::move(hashUrl)),
      folder_(std::move(folder)),
      name_(std::move(name)),
      signatureUrl_(std::move(signatureUrl)) {
  if (!hashUrl_.empty()) hashData_.emplace();
}

int CDownloadFile::GetUrl(std::string& out) {
  out = Key();
  return 1;
}

const std::string& CDownloadFile::Key() const {
  if (!signatureUrl_.empty()) return signatureUrl_;
  return hashUrl_.empty() ? url_ : hashUrl_;
}

bool CDownloadFile::IsFinished() {
  return lastType_ != kDeliveryDigestList && lastType_ != kDeliverySignature;
}

void CDownloadFile::DropPrelude() {
  if (!signatureUrl_.empty()) {
    signatureUrl_.clear();
    return;
  }
  hashUrl_.clear();
  hashData_.reset();
}

int32_t CDownloadFile::GetDeliveryType(const std::string& address) {
  if (!signatureUrl_.empty() && address == signatureUrl_) return kDeliverySignature;
  if (IsManifest()) return kDeliveryManifest;
  if (address == hashUrl_) return kDeliveryDigestList;
  if (address == url_) return kDeliveryArchive;
  return kDeliveryNone;
}

int32_t CDownloadFile::DeliverBody(const std::string& address, const char* data, int64_t length,
                                   int32_t* type) {
  if (address.empty() || data == nullptr || type == nullptr || length <= 0) return kUpdateBadArguments;
  *type = GetDeliveryType(address);
  if (*type == kDeliverySignature) {
    lastType_ = kDeliverySignature;
    signatureUrl_.clear();
    signature_.emplace(data, static_cast<size_t>(length));
    return kUpdateOk;
  }
  if (IsManifest()) {
    lastType_ = kDeliveryManifest;
    return listener_->OnManifest(this, data, length);
  }
  if (address == hashUrl_) {
    lastType_ = kDeliveryDigestList;
    if (!hashData_) return kUpdateUnknownAddress;
    hashUrl_.clear();
    hashData_->assign(data, data + length);
    return kUpdateOk;
  }
  if (address == url_) {
    lastType_ = kDeliveryArchive;
    return listener_->OnArchive(this, hashData_ ? &*hashData_ : nullptr, data, length);
  }
  return kUpdateUnknownAddress;
}
