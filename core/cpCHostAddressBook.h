#pragma once
// The host address book: for every host and port the resolved IPv4 addresses, with marks of
// recent failures, so that a new connection tries another address after one failed. Names are
// resolved at most once per 5 seconds; an address that failed is forgotten after 30 seconds.
// Resolution runs on a helper thread and its answer comes back to the library thread, so a
// slow name server never holds the library lock.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/nvSmartPtr.h"

class cpIHostResolveListener {
 public:
  // On the library thread with the library lock held.
  virtual void OnHostResolved(bool found, uint32_t address) = 0;

 protected:
  ~cpIHostResolveListener() = default;
};

enum class cpPickResult { kFound, kNotFound, kPending };

// Picks an address, resolving the name on the calling thread when needed (blocking).
bool cpAddressBookPick(const char* host, uint16_t port, uint32_t* address);
// Picks an address without waiting for a name server: kFound/kNotFound when the book can answer
// now, else kPending and the answer goes to `listener` later (`keepAlive` is held until then).
cpPickResult cpAddressBookPickAsync(const char* host, uint16_t port, uint32_t* address,
                                    cpIHostResolveListener* listener, nvSmartPtr keepAlive);
void cpAddressBookMarkFailed(const char* host, uint16_t port, uint32_t address);
void cpAddressBookMarkGood(const char* host, uint16_t port, uint32_t address);
// Hands the finished background resolution of `ticket` to the book (the notification window calls
// it with the message's parameter); a ticket of an abandoned run is ignored.
void cpAddressBookDeliver(intptr_t ticket);
// The window that carries answers is going away: resolutions in flight will never be delivered,
// so their waiters are let go and the next pick resolves again.
void cpAddressBookAbandonPending();

// For tests: the resolver behind the book (null: the platform's), the book's entries of one
// host and port as {address, good}, and a way to forget everything.
using cpHostResolver = std::function<std::vector<uint32_t>(const std::string& host)>;
void cpAddressBookSetResolver(cpHostResolver resolver);
std::vector<std::pair<uint32_t, bool>> cpAddressBookEntries(const char* host, uint16_t port);
void cpAddressBookClear();
// Background resolutions whose thread has not ended yet (a resolver may outlive the library).
int cpAddressBookResolutionsInFlight();
