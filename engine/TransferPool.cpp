#include "engine/TransferPool.h"

namespace engine {

TransferPool::TransferPool(int connections, int connectionsPerServer)
    : multi_(curl_multi_init()), connections_(connections), connectionsPerServer_(connectionsPerServer) {
  curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(connectionsPerServer));
  curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(connections));
  // Keep every idle connection for the next request (a list of small files reuses them all).
  curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(connections));
}

TransferPool::~TransferPool() { curl_multi_cleanup(multi_); }

bool TransferPool::Add(Transfer* transfer) {
  if (curl_multi_add_handle(multi_, transfer->Easy()) != CURLM_OK) return false;
  ++active_;
  ++perServer_[transfer->Server()];
  return true;
}

void TransferPool::Remove(Transfer* transfer) {
  if (curl_multi_remove_handle(multi_, transfer->Easy()) != CURLM_OK) return;
  --active_;
  auto it = perServer_.find(transfer->Server());
  if (it != perServer_.end() && --it->second <= 0) perServer_.erase(it);
}

int TransferPool::ActiveOn(const std::string& server) const {
  auto it = perServer_.find(server);
  return it == perServer_.end() ? 0 : it->second;
}

void TransferPool::Run(std::vector<WaitSocket>* sockets, int timeoutMs) {
  std::vector<curl_waitfd> extra(sockets->size());
  for (size_t i = 0; i < sockets->size(); ++i) {
    extra[i].fd = (*sockets)[i].socket;
    extra[i].events = static_cast<short>(CURL_WAIT_POLLIN | ((*sockets)[i].write ? CURL_WAIT_POLLOUT : 0));
    extra[i].revents = 0;
  }
  curl_multi_poll(multi_, extra.data(), static_cast<unsigned int>(extra.size()), timeoutMs, nullptr);
  for (size_t i = 0; i < sockets->size(); ++i) (*sockets)[i].ready = extra[i].revents != 0;

  int running = 0;
  curl_multi_perform(multi_, &running);
  int left = 0;
  // One message at a time: a listener may end other transfers, whose messages then go with them.
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    Transfer* transfer = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
    CURLcode code = message->data.result;
    if (transfer == nullptr) continue;
    Remove(transfer);
    transfer->Listener()->OnTransferDone(*transfer, code);
  }
}

void TransferPool::Wakeup() { curl_multi_wakeup(multi_); }

}  // namespace engine
