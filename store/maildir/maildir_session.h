// The Session (store_session.h) of the Maildir store: one connection's view of the
// mailboxes, with the transaction it holds open. The rules it follows are those described in
// maildir_store.h.
#ifndef CORVALITH_STORE_MAILDIR_MAILDIR_SESSION_H_
#define CORVALITH_STORE_MAILDIR_MAILDIR_SESSION_H_

#include <memory>

#include "platform/file_system.h"
#include "store/maildir/maildir_layout.h"
#include "store/maildir/maildir_store.h"
#include "store/store_session.h"

namespace corvalith::store::maildir {

std::unique_ptr<Session> NewMaildirSession(const Layout& layout, FileSystem& files,
                                           const MaildirOptions& options);

}  // namespace corvalith::store::maildir

#endif  // CORVALITH_STORE_MAILDIR_MAILDIR_SESSION_H_
