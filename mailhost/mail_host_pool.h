// MailHosts for saves at the same time: each with its own store and connection, all sharing
// the one filter instance of the process, as the threads of a store process share theirs.
// Saves for one user are ordered by the filter's own locks (the engine locks the user's file
// for each call); saves for different users do not wait for each other.
#ifndef CORVALITH_MAILHOST_MAIL_HOST_POOL_H_
#define CORVALITH_MAILHOST_MAIL_HOST_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mailhost/home.h"
#include "mailhost/mail_host.h"

namespace corvalith::host {

class MailHostPool {
 public:
  // `size` hosts (at least one); the filter instance is created at once, so that a server
  // says at its start whether the filter can work. Throws Failure.
  MailHostPool(const Home& home, const std::string& construct_string, size_t size);
  MailHostPool(const MailHostPool&) = delete;
  MailHostPool& operator=(const MailHostPool&) = delete;

  // One host, the caller's alone until the lease ends.
  class Lease {
   public:
    Lease(MailHostPool& pool, MailHost& host) : pool_(pool), host_(host) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { pool_.GiveBack(host_); }
    MailHost& operator*() const { return host_; }
    MailHost* operator->() const { return &host_; }

   private:
    MailHostPool& pool_;
    MailHost& host_;
  };

  // Waits while every host is lent.
  Lease Borrow();
  size_t size() const { return hosts_.size(); }

 private:
  void GiveBack(MailHost& host);

  std::vector<std::unique_ptr<MailHost>> hosts_;
  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<MailHost*> idle_;
};

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_MAIL_HOST_POOL_H_
