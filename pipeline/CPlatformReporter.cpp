#include "pipeline/CPlatformReporter.h"

#include <cstring>
#include <string>

#include "core/Settings.h"
#include "core/cpCHostAddressBook.h"
#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"
#include "core/cpSocket.h"
#include "net/nwClassIds.h"
#include "net/nwConnection.h"
#include "protocol/nwFrame.h"

// Listens for the relay's address on the reporter's behalf. The address book keeps it alive until
// the answer comes, which may be after the reporter is gone.
class CPlatformReporter::ResolveWaiter final : public nvTRefCounted<>, public cpIHostResolveListener {
 public:
  ResolveWaiter(CPlatformReporter* owner, std::string host, uint16_t port)
      : owner_(owner), ownerAlive_(*owner), host_(std::move(host)), port_(port) {}
  const std::string& Host() const { return host_; }
  uint16_t Port() const { return port_; }

  void OnHostResolved(bool found, uint32_t address) override {
    if (ownerAlive_) owner_->OnRelayResolved(this, found, address);
  }

 private:
  CPlatformReporter* owner_;
  nvCGuard ownerAlive_;
  std::string host_;
  uint16_t port_;
};

namespace {

constexpr int64_t kMaxRecordsPerReport = (kFrameMaxPayload - 4) / FileReportEntry::kSize;

uint16_t RelayPort() {
  long long port = settings::GetInt("relay_port", CPlatformReporter::kDefaultRelayPort);
  if (port <= 0 || port > 0xFFFF) return CPlatformReporter::kDefaultRelayPort;
  return static_cast<uint16_t>(port);
}

}  // namespace

CPlatformReporter::CPlatformReporter() = default;

CPlatformReporter::~CPlatformReporter() {
  waiter_.Reset();
  nwReleaseConnection<nvIAgentLayer>(context_);
  queue_.clear();
}

void CPlatformReporter::QueueReport(int32_t count, const FileReportEntry* entries) {
  if (count <= 0 || entries == nullptr || count > kMaxRecordsPerReport) return;
  cpQoSLockGuard lock;
  Block block{count, std::vector<uint8_t>(static_cast<size_t>(count) * FileReportEntry::kSize)};
  std::memcpy(block.bytes.data(), entries[0].bytes, block.bytes.size());
  queue_.push_back(std::move(block));
  while (queue_.size() > kMaxQueuedBlocks) queue_.pop_front();
  if (!Connect() && context_) SendQueue();
}

bool CPlatformReporter::Connect() {
  if (context_) return false;
  if (waiter_) return true;
  std::string host = settings::Get("relay_host");
  uint16_t port = RelayPort();
  if (host.empty()) return false;
  nvTSmartPtr<ResolveWaiter> waiter(new ResolveWaiter(this, host, port));
  uint32_t address = 0;
  // Never waits for a name server: an answer that is not known yet comes through the waiter.
  switch (cpAddressBookPickAsync(host.c_str(), port, &address, waiter.Get(), waiter.Untyped())) {
    case cpPickResult::kFound:
      OpenConnection(host.c_str(), port, address);
      return static_cast<bool>(context_);
    case cpPickResult::kPending:
      waiter_ = std::move(waiter);
      return true;
    case cpPickResult::kNotFound:
    default:
      // Unresolvable: the blocks stay queued (bounded) for the next report's attempt.
      return false;
  }
}

void CPlatformReporter::OnRelayResolved(const ResolveWaiter* waiter, bool found, uint32_t address) {
  // Only the lookup this reporter waits for counts; the waiter stays alive for this call.
  if (waiter != waiter_.Get()) return;
  std::string host = waiter->Host();
  uint16_t port = waiter->Port();
  waiter_.Reset();
  if (!found || context_ || queue_.empty()) return;
  OpenConnection(host.c_str(), port, address);
}

void CPlatformReporter::OpenConnection(const char* host, uint16_t port, uint32_t address) {
  cpQoSLockGuard lock;
  context_ = nwOpenConnection(nwConnectionOptions::Timeouts(kConnectTimeoutSeconds, kIdleLimitSeconds),
                              CLSID_nwCAgentLayer);
  nvIAgentLayer* layer = Layer();
  if (layer == nullptr) return;
  nvIQoSContext* connection = context_.Get();
  layer->SetListener(this, 0);
  // Host and address let the connection mark a relay address that failed in the address book.
  connection->SetHostName(host);
  cpAddress target;
  target.address = address;
  target.port = port;
  connection->SetAddress(&target);
  connection->Connect(&target);
}

nvIAgentLayer* CPlatformReporter::Layer() const {
  if (!context_) return nullptr;
  return nvCast<nvIAgentLayer>(context_->GetTopLayer());
}

void CPlatformReporter::SendQueue() {
  nvIAgentLayer* layer = Layer();
  if (layer == nullptr) return;
  while (!queue_.empty()) {
    Block block = std::move(queue_.front());
    queue_.pop_front();
    nwAgentReport report{block.count, block.bytes.data()};
    layer->SendReport(&report);
  }
}

void CPlatformReporter::OnAgentConnected(nwListenerCookie /*cookie*/) { SendQueue(); }

void CPlatformReporter::OnAgentReply(nwListenerCookie /*cookie*/, uint8_t /*result*/) {
  if (!queue_.empty() || !context_) return;
  // The closed event that follows lets the connection go.
  context_->Close();
}

// Released later: this runs inside a callback of that very connection.
void CPlatformReporter::OnAgentClosed(nwListenerCookie /*cookie*/) {
  nwReleaseConnection<nvIAgentLayer>(context_);
}

void CPlatformReporter::OnAgentConnectFailed(nwListenerCookie /*cookie*/) {
  if (context_) context_->Close();
}

void CPlatformReporter::OnAgentIdle(nwListenerCookie /*cookie*/) {
  if (context_) context_->Close();
}
