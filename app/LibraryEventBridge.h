#pragma once
// Carries the library's events into Qt's event loop: the library posts message 11024 to a
// platform window whose post hook turns each message into a Qt event for this object, so the
// events are handled on the Qt thread, one at a time, in posting order.

#include <QObject>
#include <cstdint>
#include <functional>

#include "library/DownloadLib.h"

class LibraryEventBridge : public QObject {
 public:
  using Handler = std::function<void(int32_t code, intptr_t lParam)>;

  explicit LibraryEventBridge(Handler handler, QObject* parent = nullptr);
  ~LibraryEventBridge() override;
  LibraryEventBridge(const LibraryEventBridge&) = delete;
  LibraryEventBridge& operator=(const LibraryEventBridge&) = delete;

  // The window to hand to DownloadLibInitialize.
  DownloadLibWindow Window() const;

 protected:
  bool event(QEvent* event) override;

 private:
  Handler handler_;
  uintptr_t window_ = 0;
};
