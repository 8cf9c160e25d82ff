#include "core/cpCHostAddressBook.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "core/cpSocket.h"
#include "core/cpTime.h"
#include "platform/Socket.h"

namespace {

constexpr uint32_t kReresolveSeconds = 5;
constexpr uint32_t kForgetFailedSeconds = 30;

struct AddressEntry {
  uint32_t address;
  bool good;
  uint32_t failureTime;  // 0: not failed
};

struct Waiter {
  cpIHostResolveListener* listener;
  nvSmartPtr keepAlive;
};

struct HostRecord {
  std::string host;
  uint16_t port = 0;
  uint32_t lastResolution = 0;
  std::vector<AddressEntry> entries;
  bool resolving = false;
  bool resolved = false;  // a first resolution has been applied
  std::vector<Waiter> waiters;
};

struct Resolution {
  std::string key;
  std::vector<uint32_t> addresses;
};

// Answers of background resolutions wait here, by ticket, until the notification window delivers
// them; the message carries only the ticket. An abandoned run drops what waits and what is still
// being resolved, so nothing is lost track of when the window goes before the message arrives.
// Never destroyed: a detached resolver thread may reach it while the process ends.
struct FinishedResolutions {
  std::mutex lock;
  std::map<intptr_t, Resolution> answers;
  intptr_t nextTicket = 1;
  uint64_t run = 0;  // advanced by every abandonment
};

FinishedResolutions& Finished() {
  static auto* finished = new FinishedResolutions;
  return *finished;
}

// The book has no lock of its own: it is used on the library thread or under the library lock.
// The resolver is read by helper threads too, so it is copied under this mutex.
std::mutex g_resolverMutex;
cpHostResolver g_resolver;

std::map<std::string, HostRecord>& Book() {
  static std::map<std::string, HostRecord> book;
  return book;
}

cpHostResolver CurrentResolver() {
  std::lock_guard lock(g_resolverMutex);
  if (g_resolver) return g_resolver;
  return [](const std::string& host) {
    uint32_t literal = 0;
    if (platform::ParseIPv4(host, &literal)) return std::vector<uint32_t>{literal};
    return platform::ResolveHostIPv4(host);
  };
}

std::string KeyOf(const char* host, uint16_t port) { return std::string(host) + ":" + std::to_string(port); }

HostRecord* Find(const char* host, uint16_t port) {
  auto it = Book().find(KeyOf(host, port));
  return it != Book().end() ? &it->second : nullptr;
}

// Good entries first, then the new addresses, then those that failed in the last 30 seconds.
void Apply(HostRecord& record, const std::vector<uint32_t>& answer) {
  uint32_t now = cpNowSeconds();
  std::vector<AddressEntry> good;
  std::vector<AddressEntry> recentlyFailed;
  for (const AddressEntry& entry : record.entries) {
    if (entry.good) {
      good.push_back(entry);
    } else if (entry.failureTime != 0 && now - entry.failureTime <= kForgetFailedSeconds) {
      recentlyFailed.push_back(entry);
    }
  }
  auto known = [&](uint32_t address) {
    auto same = [address](const AddressEntry& e) { return e.address == address; };
    return std::any_of(good.begin(), good.end(), same) ||
           std::any_of(recentlyFailed.begin(), recentlyFailed.end(), same);
  };
  std::vector<AddressEntry> fresh;
  for (uint32_t address : answer) {
    bool duplicate = std::any_of(fresh.begin(), fresh.end(),
                                 [address](const AddressEntry& e) { return e.address == address; });
    if (!known(address) && !duplicate) fresh.push_back(AddressEntry{address, false, 0});
  }
  record.lastResolution = now;
  record.resolved = true;
  record.entries = std::move(good);
  record.entries.insert(record.entries.end(), fresh.begin(), fresh.end());
  record.entries.insert(record.entries.end(), recentlyFailed.begin(), recentlyFailed.end());
}

bool NeedsResolution(const HostRecord& record) {
  if (!record.resolved) return true;
  bool anyGood =
      std::any_of(record.entries.begin(), record.entries.end(), [](const AddressEntry& e) { return e.good; });
  return !anyGood && cpNowSeconds() - record.lastResolution >= kReresolveSeconds;
}

bool Answer(const HostRecord& record, uint32_t* address) {
  for (const AddressEntry& entry : record.entries) {
    if (entry.good) {
      *address = entry.address;
      return true;
    }
  }
  if (record.entries.empty()) return false;
  *address = record.entries.front().address;
  return true;
}

HostRecord& FindOrCreate(const char* host, uint16_t port) {
  HostRecord& record = Book()[KeyOf(host, port)];
  if (record.host.empty()) {
    record.host = host;
    record.port = port;
  }
  return record;
}

std::atomic<int> g_resolutionsInFlight{0};

void StartBackgroundResolution(HostRecord& record, platform::WindowHandle window) {
  record.resolving = true;
  ++g_resolutionsInFlight;
  std::string key = KeyOf(record.host.c_str(), record.port);
  uint64_t run = 0;
  {
    std::lock_guard lock(Finished().lock);
    run = Finished().run;
  }
  std::thread([key, host = record.host, resolver = CurrentResolver(), window, run] {
    std::vector<uint32_t> addresses = resolver(host);
    FinishedResolutions& finished = Finished();
    intptr_t ticket = 0;
    {
      std::lock_guard lock(finished.lock);
      // The library may have ended meanwhile: then nobody waits for the answer.
      if (finished.run == run) {
        ticket = finished.nextTicket++;
        finished.answers.emplace(ticket, Resolution{key, std::move(addresses)});
      }
    }
    if (ticket != 0 && !platform::PostToWindow(window, CP_MSG_HOST_RESOLVED, 0, ticket)) {
      std::lock_guard lock(finished.lock);
      finished.answers.erase(ticket);
    }
    --g_resolutionsInFlight;
  }).detach();
}

}  // namespace

int cpAddressBookResolutionsInFlight() { return g_resolutionsInFlight.load(); }

bool cpAddressBookPick(const char* host, uint16_t port, uint32_t* address) {
  if (host == nullptr || host[0] == '\0' || address == nullptr) return false;
  HostRecord& record = FindOrCreate(host, port);
  if (NeedsResolution(record)) Apply(record, CurrentResolver()(record.host));
  return Answer(record, address);
}

cpPickResult cpAddressBookPickAsync(const char* host, uint16_t port, uint32_t* address,
                                    cpIHostResolveListener* listener, nvSmartPtr keepAlive) {
  if (host == nullptr || host[0] == '\0' || address == nullptr) return cpPickResult::kNotFound;
  HostRecord& record = FindOrCreate(host, port);
  uint32_t literal = 0;
  platform::WindowHandle window = cpNotifyWindowHandle();
  if (!record.resolving && NeedsResolution(record)) {
    if (platform::ParseIPv4(host, &literal) || window == 0 || listener == nullptr) {
      // Nothing to wait for (or nobody to tell later): answer now.
      Apply(record, CurrentResolver()(record.host));
    } else {
      StartBackgroundResolution(record, window);
    }
  }
  if (record.resolving) {
    record.waiters.push_back(Waiter{listener, std::move(keepAlive)});
    return cpPickResult::kPending;
  }
  return Answer(record, address) ? cpPickResult::kFound : cpPickResult::kNotFound;
}

void cpAddressBookDeliver(intptr_t ticket) {
  std::optional<Resolution> answer;
  {
    FinishedResolutions& finished = Finished();
    std::lock_guard lock(finished.lock);
    auto waiting = finished.answers.find(ticket);
    if (waiting == finished.answers.end()) return;
    answer = std::move(waiting->second);
    finished.answers.erase(waiting);
  }
  auto it = Book().find(answer->key);
  if (it == Book().end()) return;
  HostRecord& record = it->second;
  Apply(record, answer->addresses);
  record.resolving = false;
  std::vector<Waiter> waiters = std::move(record.waiters);
  record.waiters.clear();
  for (Waiter& waiter : waiters) {
    uint32_t address = 0;
    bool found = Answer(record, &address);
    if (waiter.listener != nullptr) waiter.listener->OnHostResolved(found, address);
  }
}

void cpAddressBookAbandonPending() {
  {
    FinishedResolutions& finished = Finished();
    std::lock_guard lock(finished.lock);
    finished.answers.clear();
    ++finished.run;
  }
  std::vector<Waiter> released;
  for (auto& [key, record] : Book()) {
    record.resolving = false;
    for (Waiter& waiter : record.waiters) released.push_back(std::move(waiter));
    record.waiters.clear();
  }
  // Dropped outside the walk: a released layer may reach the book again.
}

void cpAddressBookMarkFailed(const char* host, uint16_t port, uint32_t address) {
  if (host == nullptr) return;
  HostRecord* record = Find(host, port);
  if (record == nullptr) return;
  auto it = std::find_if(record->entries.begin(), record->entries.end(),
                         [address](const AddressEntry& e) { return e.address == address; });
  if (it == record->entries.end()) return;
  AddressEntry entry = *it;
  record->entries.erase(it);
  entry.good = false;
  entry.failureTime = cpNowSeconds();
  record->entries.push_back(entry);
}

void cpAddressBookMarkGood(const char* host, uint16_t port, uint32_t address) {
  if (host == nullptr) return;
  HostRecord* record = Find(host, port);
  if (record == nullptr) return;
  auto it = std::find_if(record->entries.begin(), record->entries.end(),
                         [address](const AddressEntry& e) { return e.address == address; });
  if (it == record->entries.end()) return;
  AddressEntry entry = *it;
  record->entries.erase(it);
  entry.good = true;
  entry.failureTime = 0;
  record->entries.insert(record->entries.begin(), entry);
}

void cpAddressBookSetResolver(cpHostResolver resolver) {
  std::lock_guard lock(g_resolverMutex);
  g_resolver = std::move(resolver);
}

std::vector<std::pair<uint32_t, bool>> cpAddressBookEntries(const char* host, uint16_t port) {
  std::vector<std::pair<uint32_t, bool>> entries;
  if (HostRecord* record = Find(host, port)) {
    for (const AddressEntry& entry : record->entries) entries.emplace_back(entry.address, entry.good);
  }
  return entries;
}

void cpAddressBookClear() { Book().clear(); }
