# Dovecot runs this (imapsieve) when a user copies or moves a message into "Junk E-mail" or
# out of it. corvalith then treats the message in its new folder as the user's correction:
# it relearns it, flips its marker and may whitelist a rescued sender.
require ["vnd.dovecot.pipe", "copy", "imapsieve", "environment", "variables"];

if environment :matches "imap.user" "*" {
  set "user" "${1}";
}
if environment :matches "imap.mailbox" "*" {
  set "mailbox" "${1}";
}
pipe :copy "corvalith-moved" ["${user}", "${mailbox}"];
