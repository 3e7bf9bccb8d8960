# Dovecot runs this (imapsieve) when a user copies or moves a message into "Junk E-mail" or
# out of it. corvalith then treats the message in its new folder as the user's correction:
# it relearns it, flips its marker and may whitelist a rescued sender. A message moved into
# the wastebasket (the folder whose special use is \Trash, whatever its name) is a deletion,
# not a correction: corvalith is told so and leaves it alone.
require ["vnd.dovecot.pipe", "copy", "imapsieve", "environment", "variables", "special-use"];

if environment :matches "imap.user" "*" {
  set "user" "${1}";
}
if environment :matches "imap.mailbox" "*" {
  set "mailbox" "${1}";
}
set "special_use" "";
if specialuse_exists "${mailbox}" "\\Trash" {
  set "special_use" "\\Trash";
}
pipe :copy "corvalith-moved" ["${user}", "${mailbox}", "${special_use}"];
