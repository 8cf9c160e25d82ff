#include "app/LibraryEventBridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>

#include "platform/MessageLoop.h"

namespace {

const QEvent::Type kLibraryEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class LibraryQtEvent : public QEvent {
 public:
  LibraryQtEvent(int32_t eventCode, intptr_t eventParam)
      : QEvent(kLibraryEvent), code(eventCode), lParam(eventParam) {}
  int32_t code;
  intptr_t lParam;
};

}  // namespace

LibraryEventBridge::LibraryEventBridge(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)) {
  // postEvent is thread-safe and keeps the posting order for one receiver.
  window_ = platform::CreateHookedWindow([this](const platform::Message& message) {
    if (message.message != WM_DOWNLOADLIB_EVENT) return;
    QCoreApplication::postEvent(this,
                                new LibraryQtEvent(static_cast<int32_t>(message.wParam), message.lParam));
  });
}

LibraryEventBridge::~LibraryEventBridge() {
  // After this returns the hook is never called again, so no event can name a dead receiver.
  platform::DestroyMessageWindow(window_);
}

DownloadLibWindow LibraryEventBridge::Window() const { return reinterpret_cast<DownloadLibWindow>(window_); }

bool LibraryEventBridge::event(QEvent* event) {
  if (event->type() != kLibraryEvent) return QObject::event(event);
  auto* library = static_cast<LibraryQtEvent*>(event);
  if (handler_) handler_(library->code, library->lParam);
  return true;
}
