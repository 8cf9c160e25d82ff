#pragma once
// How a connection reads and writes: without limit, against budgets shared by every connection
// (kept by the QoS manager), or against the connection's own per-second budgets, for both
// directions or one only.

#include <cstdint>
#include <memory>

#include "core/cpQoSBuffers.h"

struct cpSocketRecord;

enum : int32_t {
  QOS_ACTION_HIGH = 1,
  QOS_ACTION_LOWSERVER = 2,
  QOS_ACTION_LOWSERVER_RECV = 3,
  QOS_ACTION_LOWSERVER_SEND = 4,
  QOS_ACTION_OWN = 5,
  QOS_ACTION_OWN_RECV = 6,
  QOS_ACTION_OWN_SEND = 7,
};

class cpCQoSContextAction {
 public:
  static constexpr int32_t kSendChunk = 4096;
  // A read asks for at most kReadPiece bytes (and that much budget) straight into the receive
  // buffer: a system call per kilobyte cost more than the transfer itself. Near the stop it asks
  // only for what reaches it, and for no more than the buffer's free room when that is at least
  // kReadChunk; never for less than kReadChunk. A short read ends the round: the socket is empty.
  static constexpr int32_t kReadChunk = 1024;
  static constexpr int32_t kReadPiece = 64 * 1024;
  // One readiness notice reads at most this much before the data goes up the layers.
  static constexpr int32_t kReadStop = 0x100000;

  virtual ~cpCQoSContextAction() = default;

  // The action for a type, or null for an unknown type.
  static std::unique_ptr<cpCQoSContextAction> Create(int32_t actionType);
  void Bind(cpSocketRecord* socket, std::unique_ptr<cpSendBlock>* currentBlock,
            cpReceiveBuffer* receiveBuffer);

  virtual int32_t GetType() const = 0;
  // Reads into the receive buffer; returns the bytes read in this call.
  virtual int32_t Receive() = 0;
  // Writes from the current send block; false on a hard socket error.
  virtual bool Send(int32_t* sent) = 0;
  virtual bool TakeSendBlocked() { return false; }
  virtual bool TakeReceiveBlocked() { return false; }
  // kind 0 receive, 1 send.
  virtual void SetLimit(int32_t /*kind*/, const int32_t* /*bytesPerSecond*/) {}
  // Adds this second's traffic to totals {received, sent} and refills own budgets.
  virtual void SecondTick(int32_t* /*totals*/) {}

 protected:
  int32_t UnlimitedReceive();
  bool UnlimitedSend(int32_t* sent);
  // The size of the next read.
  int32_t NextReadPiece() const;

  cpSocketRecord* socket_ = nullptr;
  std::unique_ptr<cpSendBlock>* current_ = nullptr;
  cpReceiveBuffer* receive_ = nullptr;
};

class cpCQoSHighContextAction final : public cpCQoSContextAction {
 public:
  int32_t GetType() const override { return QOS_ACTION_HIGH; }
  int32_t Receive() override { return UnlimitedReceive(); }
  bool Send(int32_t* sent) override { return UnlimitedSend(sent); }
};

// Budgeted reads and writes; the budgets come from the subclass.
class cpCQoSLowContextAction : public cpCQoSContextAction {
 public:
  int32_t Receive() override;
  bool Send(int32_t* sent) override;
  bool TakeSendBlocked() override;
  bool TakeReceiveBlocked() override;

  virtual int32_t TakeReceiveBudget(int32_t n) = 0;
  virtual int32_t TakeSendBudget(int32_t n) = 0;
  virtual void ReturnReceiveBudget(int32_t n) = 0;
  virtual void ReturnSendBudget(int32_t n) = 0;

 protected:
  bool sendBlocked_ = false;
  bool receiveBlocked_ = false;
};

// Budgets shared by every connection, kept by the QoS manager.
class cpCQoSLowServerContextAction : public cpCQoSLowContextAction {
 public:
  int32_t GetType() const override { return QOS_ACTION_LOWSERVER; }
  int32_t TakeReceiveBudget(int32_t n) override;
  int32_t TakeSendBudget(int32_t n) override;
  void ReturnReceiveBudget(int32_t n) override;
  void ReturnSendBudget(int32_t n) override;
};

class cpCQoSLowServerReceiveOnlyContextAction final : public cpCQoSLowServerContextAction {
 public:
  int32_t GetType() const override { return QOS_ACTION_LOWSERVER_RECV; }
  int32_t TakeSendBudget(int32_t n) override { return n; }
  void ReturnSendBudget(int32_t /*n*/) override {}
};

class cpCQoSLowServerSendOnlyContextAction final : public cpCQoSLowServerContextAction {
 public:
  int32_t GetType() const override { return QOS_ACTION_LOWSERVER_SEND; }
  int32_t TakeReceiveBudget(int32_t n) override { return n; }
  void ReturnReceiveBudget(int32_t /*n*/) override {}
};

// The connection's own per-second budgets.
class cpCQoSOwnContextAction : public cpCQoSLowContextAction {
 public:
  int32_t GetType() const override { return QOS_ACTION_OWN; }
  void SetLimit(int32_t kind, const int32_t* bytesPerSecond) override;
  void SecondTick(int32_t* totals) override;
  int32_t TakeReceiveBudget(int32_t n) override;
  int32_t TakeSendBudget(int32_t n) override;
  void ReturnReceiveBudget(int32_t n) override;
  void ReturnSendBudget(int32_t n) override;

 protected:
  int32_t receiveLimit_ = 0;
  int32_t sendLimit_ = 0;
  int32_t receiveLeft_ = 0;
  int32_t sendLeft_ = 0;
  int32_t receivedThisSecond_ = 0;
  int32_t sentThisSecond_ = 0;
  bool ticked_ = false;  // a new action's first limit also fills the current second
};

class cpCQoSOwnReceiveOnlyContextAction final : public cpCQoSOwnContextAction {
 public:
  int32_t GetType() const override { return QOS_ACTION_OWN_RECV; }
  int32_t TakeSendBudget(int32_t n) override { return n; }
  void ReturnSendBudget(int32_t /*n*/) override {}
};

class cpCQoSOwnSendOnlyContextAction final : public cpCQoSOwnContextAction {
 public:
  int32_t GetType() const override { return QOS_ACTION_OWN_SEND; }
  int32_t TakeReceiveBudget(int32_t n) override { return n; }
  void ReturnReceiveBudget(int32_t /*n*/) override {}
};
