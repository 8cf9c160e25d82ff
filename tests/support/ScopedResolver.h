#pragma once
// Names resolve through a table of the test's for the lifetime of the object; address literals
// still stand for themselves, as with the platform's resolver. Afterwards the platform's resolver
// is back and the address book forgets what it learnt, so no other test meets these names.
//
//   testsupport::ScopedResolver resolver(testsupport::ScopedResolver::Only("localhost"));
//   testsupport::ScopedResolver nothing;  // every name is unknown

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/cpCHostAddressBook.h"
#include "platform/Socket.h"

namespace testsupport {

inline uint32_t LoopbackAddress() {
  uint32_t address = 0;
  platform::ParseIPv4("127.0.0.1", &address);
  return address;
}

class ScopedResolver {
 public:
  using Table = std::function<std::vector<uint32_t>(const std::string& host)>;

  // Without a table no name resolves. The table runs on the address book's resolving threads.
  explicit ScopedResolver(Table table = {}) {
    // The book hands copies of the resolver to threads that may outlive this object.
    cpAddressBookSetResolver([calls = calls_, table = std::move(table)](const std::string& host) {
      uint32_t literal = 0;
      if (platform::ParseIPv4(host, &literal)) return std::vector<uint32_t>{literal};
      ++*calls;
      return table ? table(host) : std::vector<uint32_t>{};
    });
  }
  ~ScopedResolver() {
    cpAddressBookSetResolver(nullptr);
    cpAddressBookClear();
  }
  ScopedResolver(const ScopedResolver&) = delete;
  ScopedResolver& operator=(const ScopedResolver&) = delete;

  // A table in which only `name` resolves, to `address`.
  static Table Only(std::string name, uint32_t address = LoopbackAddress()) {
    return [name = std::move(name), address](const std::string& host) {
      return host == name ? std::vector<uint32_t>{address} : std::vector<uint32_t>{};
    };
  }

  // How many times a name (not a literal) was asked for.
  int Calls() const { return calls_->load(); }

 private:
  std::shared_ptr<std::atomic<int>> calls_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace testsupport
