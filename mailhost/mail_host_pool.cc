#include "mailhost/mail_host_pool.h"

#include <algorithm>
#include <utility>

namespace corvalith::host {

MailHostPool::MailHostPool(const Home& home, const std::string& construct_string, size_t size) {
  hosts_.push_back(std::make_unique<MailHost>(home, construct_string));
  const std::shared_ptr<FilterInstance> filter = hosts_.front()->SharedFilter();
  while (hosts_.size() < std::max<size_t>(size, 1)) {
    hosts_.push_back(std::make_unique<MailHost>(home, filter));
  }
  for (const std::unique_ptr<MailHost>& host : hosts_) idle_.push_back(host.get());
}

MailHostPool::Lease MailHostPool::Borrow() {
  std::unique_lock<std::mutex> lock(mutex_);
  returned_.wait(lock, [&] { return !idle_.empty(); });
  MailHost* host = idle_.back();
  idle_.pop_back();
  return Lease(*this, *host);
}

void MailHostPool::GiveBack(MailHost& host) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(&host);
  }
  returned_.notify_one();
}

}  // namespace corvalith::host
