#include "core/cpCQoSContextAction.h"

#include <algorithm>
#include <utility>

#include "core/cpCQoS.h"
#include "core/cpSocket.h"

std::unique_ptr<cpCQoSContextAction> cpCQoSContextAction::Create(int32_t actionType) {
  switch (actionType) {
    case QOS_ACTION_HIGH:
      return std::make_unique<cpCQoSHighContextAction>();
    case QOS_ACTION_LOWSERVER:
      return std::make_unique<cpCQoSLowServerContextAction>();
    case QOS_ACTION_LOWSERVER_RECV:
      return std::make_unique<cpCQoSLowServerReceiveOnlyContextAction>();
    case QOS_ACTION_LOWSERVER_SEND:
      return std::make_unique<cpCQoSLowServerSendOnlyContextAction>();
    case QOS_ACTION_OWN:
      return std::make_unique<cpCQoSOwnContextAction>();
    case QOS_ACTION_OWN_RECV:
      return std::make_unique<cpCQoSOwnReceiveOnlyContextAction>();
    case QOS_ACTION_OWN_SEND:
      return std::make_unique<cpCQoSOwnSendOnlyContextAction>();
    default:
      return nullptr;
  }
}

void cpCQoSContextAction::Bind(cpSocketRecord* socket, std::unique_ptr<cpSendBlock>* currentBlock,
                               cpReceiveBuffer* receiveBuffer) {
  socket_ = socket;
  current_ = currentBlock;
  receive_ = receiveBuffer;
}

int32_t cpCQoSContextAction::NextReadPiece() const {
  int32_t piece = std::clamp(kReadStop - receive_->Length(), kReadChunk, kReadPiece);
  // Room the buffer already has is used before it grows (growing copies what it holds).
  int32_t room = receive_->Capacity() - receive_->Length();
  return room >= kReadChunk ? std::min(piece, room) : piece;
}

int32_t cpCQoSContextAction::UnlimitedReceive() {
  if (receive_ == nullptr) return 0;
  int32_t total = 0;
  for (;;) {
    int32_t piece = NextReadPiece();
    int32_t received = 0;
    if (cpFailed(cpSocketReceive(socket_, receive_->Prepare(piece), piece, &received))) break;
    receive_->Commit(received);
    total += received;
    // A short read emptied the socket (the receive re-enabled the notice for what comes next);
    // or enough for one delivery, and the next readiness notice reads on.
    if (received < piece || receive_->Length() >= kReadStop) break;
  }
  return total;
}

bool cpCQoSContextAction::UnlimitedSend(int32_t* sent) {
  *sent = 0;
  if (current_ == nullptr || !*current_ || (*current_)->size == 0) return true;
  for (;;) {
    cpSendBlock& block = **current_;
    int32_t chunk = std::min(block.size - block.offset, kSendChunk);
    int32_t written = 0;
    cpStatus status = cpSocketSend(socket_, block.data.get() + block.offset, chunk, &written);
    if (written > 0) {
      *sent += written;
      block.offset += written;
      if (block.Complete()) {
        cpSocketRearm(socket_);
        return true;
      }
    }
    if (!cpFailed(status)) continue;
    if (status == CP_E_WOULDBLOCK) {
      cpSocketRearm(socket_);
      return true;
    }
    return false;
  }
}

int32_t cpCQoSLowContextAction::Receive() {
  if (receive_ == nullptr) return 0;
  int32_t total = 0;
  for (;;) {
    int32_t granted = TakeReceiveBudget(NextReadPiece());
    if (granted <= 0) {
      receiveBlocked_ = true;
      break;
    }
    int32_t received = 0;
    if (cpFailed(cpSocketReceive(socket_, receive_->Prepare(granted), granted, &received))) {
      ReturnReceiveBudget(granted);
      break;
    }
    receive_->Commit(received);
    total += received;
    if (granted - received > 0) ReturnReceiveBudget(granted - received);
    // A short read emptied the socket. A large budget (a whole second of a fast line) is not
    // gathered in memory at once: enough for one delivery, and the next readiness notice reads on
    // with what is left of it.
    if (received < granted || receive_->Length() >= kReadStop) break;
  }
  return total;
}

bool cpCQoSLowContextAction::Send(int32_t* sent) {
  *sent = 0;
  if (sendBlocked_) return true;
  if (current_ == nullptr || !*current_ || (*current_)->size == 0) return true;
  for (;;) {
    cpSendBlock& block = **current_;
    int32_t chunk = std::min(block.size - block.offset, kSendChunk);
    int32_t granted = TakeSendBudget(chunk);
    if (granted <= 0) {
      sendBlocked_ = true;
      return true;
    }
    int32_t written = 0;
    cpStatus status = cpSocketSend(socket_, block.data.get() + block.offset, granted, &written);
    if (written > 0) {
      // A partial write keeps the whole grant charged.
      *sent += written;
      block.offset += written;
      if (block.Complete()) {
        cpSocketRearm(socket_);
        return true;
      }
    } else {
      ReturnSendBudget(granted);
    }
    if (!cpFailed(status)) continue;
    if (status == CP_E_WOULDBLOCK) {
      cpSocketRearm(socket_);
      return true;
    }
    return false;
  }
}

bool cpCQoSLowContextAction::TakeSendBlocked() { return std::exchange(sendBlocked_, false); }

bool cpCQoSLowContextAction::TakeReceiveBlocked() { return std::exchange(receiveBlocked_, false); }

int32_t cpCQoSLowServerContextAction::TakeReceiveBudget(int32_t n) {
  cpCQoS* manager = cpCQoS::Instance();
  return manager != nullptr ? manager->TakeReceiveBudget(n) : 0;
}

int32_t cpCQoSLowServerContextAction::TakeSendBudget(int32_t n) {
  cpCQoS* manager = cpCQoS::Instance();
  return manager != nullptr ? manager->TakeSendBudget(n) : 0;
}

void cpCQoSLowServerContextAction::ReturnReceiveBudget(int32_t n) {
  if (cpCQoS* manager = cpCQoS::Instance()) manager->ReturnReceiveBudget(n);
}

void cpCQoSLowServerContextAction::ReturnSendBudget(int32_t n) {
  if (cpCQoS* manager = cpCQoS::Instance()) manager->ReturnSendBudget(n);
}

void cpCQoSOwnContextAction::SetLimit(int32_t kind, const int32_t* bytesPerSecond) {
  if (bytesPerSecond == nullptr) return;
  int32_t limit = std::max(*bytesPerSecond, 0);
  // Before the first tick the limit also fills the current second, less what it already used,
  // so setting it again cannot grant the same second twice.
  if (kind == 0) {
    receiveLimit_ = limit;
    if (!ticked_) receiveLeft_ = std::max(limit - receivedThisSecond_, 0);
  } else if (kind == 1) {
    sendLimit_ = limit;
    if (!ticked_) sendLeft_ = std::max(limit - sentThisSecond_, 0);
  }
}

void cpCQoSOwnContextAction::SecondTick(int32_t* totals) {
  ticked_ = true;
  if (totals != nullptr) {
    totals[0] += receivedThisSecond_;
    totals[1] += sentThisSecond_;
  }
  receivedThisSecond_ = 0;
  sentThisSecond_ = 0;
  receiveLeft_ = receiveLimit_;
  sendLeft_ = sendLimit_;
}

int32_t cpCQoSOwnContextAction::TakeReceiveBudget(int32_t n) {
  int32_t granted = std::clamp(n, 0, receiveLeft_);
  receiveLeft_ -= granted;
  receivedThisSecond_ += granted;
  return granted;
}

int32_t cpCQoSOwnContextAction::TakeSendBudget(int32_t n) {
  int32_t granted = std::clamp(n, 0, sendLeft_);
  sendLeft_ -= granted;
  sentThisSecond_ += granted;
  return granted;
}

void cpCQoSOwnContextAction::ReturnReceiveBudget(int32_t n) {
  receiveLeft_ += n;
  receivedThisSecond_ -= n;
}

void cpCQoSOwnContextAction::ReturnSendBudget(int32_t n) {
  sendLeft_ += n;
  sentThisSecond_ -= n;
}
