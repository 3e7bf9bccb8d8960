"""Helpers of bench/lmtp_vs_dovecot: the corpus, the two servers, the clients, the Maildir check."""
