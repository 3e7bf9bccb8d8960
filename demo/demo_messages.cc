// The demo's sample mail: written for the tour, short, in the shapes real mail takes
// (transport headers, a multipart newsletter, an HTML spam, a colleague's internal note).
#include "demo/demo.h"

namespace corvalith::host {

namespace {

#define CV_RECEIVED(host, ip, date)        \
  "Received: from " host " (" host " [" ip \
  "])\n"                                   \
  "\tby mx1.example.com (Postfix) with ESMTPS id 4F2A1C3B9;\n\t" date "\n"

const std::vector<DemoMessage> kTraining = {
    {"ham-standup", false, false,
     CV_RECEIVED(
         "mail.fieldwork.example", "198.51.100.23",
         "Mon, 5 Jan 2026 08:02:11 +0100") "From: Tom Becker <tom.becker@fieldwork.example>\n"
                                           "To: alice@example.com\n"
                                           "Subject: Notes from Monday's site visit\n"
                                           "Date: Mon, 5 Jan 2026 08:02:07 +0100\n"
                                           "Message-ID: <a81c.tom@fieldwork.example>\n"
                                           "Content-Type: text/plain; charset=utf-8\n\n"
                                           "Hi Alice,\n\nthe foundations at plot 7 are dry now, so "
                                           "the crew can start on the\n"
                                           "frame next Wednesday. I attached nothing yet; the "
                                           "survey report follows\n"
                                           "once Jana has signed it off.\n\nCheers,\nTom\n"},
    {"ham-invoice", false, false,
     CV_RECEIVED(
         "smtp.hofmann-steuer.example", "203.0.113.8",
         "Tue, 6 Jan 2026 10:15:40 +0100") "From: Petra Hofmann "
                                           "<p.hofmann@hofmann-steuer.example>\n"
                                           "To: alice@example.com\n"
                                           "Subject: Your tax documents for 2025\n"
                                           "Date: Tue, 6 Jan 2026 10:15:33 +0100\n"
                                           "Message-ID: <20260106.4411@hofmann-steuer.example>\n"
                                           "Content-Type: text/plain; charset=utf-8\n\n"
                                           "Dear Ms Weber,\n\nplease send us the receipts for the "
                                           "second half of 2025 by the end\n"
                                           "of the month. The appointment on 12 February at 14:00 "
                                           "is confirmed.\n\n"
                                           "Kind regards\nPetra Hofmann\n"},
    {"ham-family", false, false,
     CV_RECEIVED("mout.mailbox.example", "192.0.2.77",
                 "Wed, 7 Jan 2026 19:44:02 +0100") "From: Mum <ingrid.weber@mailbox.example>\n"
                                                   "To: alice@example.com\n"
                                                   "Subject: Sunday lunch\n"
                                                   "Date: Wed, 7 Jan 2026 19:43:58 +0100\n"
                                                   "Message-ID: <c4e1f0@mailbox.example>\n"
                                                   "Content-Type: text/plain; charset=utf-8\n\n"
                                                   "Hello darling, are you and Ben coming on "
                                                   "Sunday? Grandpa wants to show you\n"
                                                   "his new greenhouse. Bring the cake tin back "
                                                   "please!\nLove, Mum\n"},
    {"ham-meeting", false, false,
     CV_RECEIVED(
         "mail.fieldwork.example", "198.51.100.23",
         "Thu, 8 Jan 2026 09:30:51 +0100") "From: Jana Novak <jana.novak@fieldwork.example>\n"
                                           "To: alice@example.com\n"
                                           "Subject: Survey report plot 7 - signed\n"
                                           "Date: Thu, 8 Jan 2026 09:30:44 +0100\n"
                                           "Message-ID: <77d2.jana@fieldwork.example>\n"
                                           "Content-Type: text/plain; charset=utf-8\n\n"
                                           "Alice, the survey report is signed and in the project "
                                           "folder. Two of the\n"
                                           "boundary stones were moved; the report has the "
                                           "corrected coordinates.\n"
                                           "Can we go through it on Friday at ten?\nJana\n"},
    {"ham-library", false, false,
     CV_RECEIVED(
         "mail.stadtbibliothek.example", "203.0.113.50",
         "Fri, 9 Jan 2026 07:12:09 +0100") "From: Stadtbibliothek "
                                           "<ausleihe@stadtbibliothek.example>\n"
                                           "To: alice@example.com\n"
                                           "Subject: Reminder: 2 items due on 14 January\n"
                                           "Date: Fri, 9 Jan 2026 07:12:01 +0100\n"
                                           "Message-ID: <due-88412@stadtbibliothek.example>\n"
                                           "Content-Type: text/plain; charset=utf-8\n\n"
                                           "Dear reader,\n\nthe following items are due on 14 "
                                           "January 2026:\n"
                                           "  - Timber Frame Construction (3rd ed.)\n  - The "
                                           "Overstory\n\n"
                                           "You can renew them once at the desk or by phone.\n"},
    {"ham-club", false, false,
     CV_RECEIVED(
         "mail.rowing-club.example", "198.51.100.140",
         "Sat, 10 Jan 2026 12:01:30 +0100") "From: Rowing Club Secretary "
                                            "<secretary@rowing-club.example>\n"
                                            "To: alice@example.com\n"
                                            "Subject: Winter training moves to the boathouse gym\n"
                                            "Date: Sat, 10 Jan 2026 12:01:22 +0100\n"
                                            "Message-ID: <winter-2026@rowing-club.example>\n"
                                            "Content-Type: text/plain; charset=utf-8\n\n"
                                            "Hi all, the river is too high this month, so Tuesday "
                                            "and Thursday sessions\n"
                                            "are in the boathouse gym, same times. Ergometer "
                                            "sign-up sheet is by the door.\n"},
    {"spam-pills", true, false,
     CV_RECEIVED("unknown", "45.67.12.201",
                 "Mon, 5 Jan 2026 03:14:55 +0100") "From: \"Pharmacy Online\" "
                                                   "<deals@cheap-meds-24.example>\n"
                                                   "To: alice@example.com\n"
                                                   "Subject: Best prices on V1agra and C1alis - "
                                                   "80% OFF today only\n"
                                                   "Date: Mon, 5 Jan 2026 02:14:50 +0000\n"
                                                   "Message-ID: <8812jx9@cheap-meds-24.example>\n"
                                                   "Content-Type: text/html; charset=iso-8859-1\n\n"
                                                   "<html><body><h1>MEN'S HEALTH SUPER "
                                                   "SALE</h1><p>No prescription needed!!!\n"
                                                   "<a "
                                                   "href=\"http://cheap-meds-24.example/"
                                                   "buy?id=7731\">ORDER NOW</a> and get FREE\n"
                                                   "shipping worldwide. Discreet packaging. 100% "
                                                   "satisfaction guaranteed.</p>\n"
                                                   "<p><a "
                                                   "href=\"http://cheap-meds-24.example/"
                                                   "unsub\">unsubscribe</a></p></body></html>\n"},
    {"spam-lottery", true, false,
     CV_RECEIVED("mail.winners-intl.example", "91.200.14.3",
                 "Tue, 6 Jan 2026 04:40:12 +0100") "From: International Lottery Board "
                                                   "<claims@winners-intl.example>\n"
                                                   "To: undisclosed-recipients:;\n"
                                                   "Subject: CONGRATULATIONS!!! You have WON "
                                                   "$1,500,000.00 USD\n"
                                                   "Date: Tue, 6 Jan 2026 03:40:05 +0000\n"
                                                   "Message-ID: <win-000193@winners-intl.example>\n"
                                                   "Content-Type: text/plain; charset=us-ascii\n\n"
                                                   "Dear Winner,\n\nyour email address was "
                                                   "selected in our annual draw. To claim your\n"
                                                   "prize of ONE MILLION FIVE HUNDRED THOUSAND US "
                                                   "DOLLARS send your full name, bank\n"
                                                   "account number and a processing fee of $250 to "
                                                   "our claims agent today.\n"
                                                   "This offer expires in 48 hours. Act now!\n"},
    {"spam-crypto", true, false,
     CV_RECEIVED(
         "smtp.profit-signals.example", "185.44.9.77",
         "Wed, 7 Jan 2026 05:05:05 +0100") "From: Crypto Profit Signals "
                                           "<vip@profit-signals.example>\n"
                                           "To: alice@example.com\n"
                                           "Subject: Turn $250 into $12,000 in 7 days - "
                                           "guaranteed\n"
                                           "Date: Wed, 7 Jan 2026 04:05:01 +0000\n"
                                           "Message-ID: <sig-77281@profit-signals.example>\n"
                                           "Content-Type: text/html; charset=utf-8\n\n"
                                           "<html><body><p>Our AI trading bot made members "
                                           "<b>4,700% profit</b> last month.</p>\n"
                                           "<p>Limited spots! <a "
                                           "href=\"http://profit-signals.example/"
                                           "join?ref=a1\">CLICK HERE\n"
                                           "to join FREE</a>. Guaranteed returns, no risk, "
                                           "withdraw anytime.</p>\n"
                                           "<p><a "
                                           "href=\"http://profit-signals.example/"
                                           "unsub\">unsubscribe</a></p></body></html>\n"},
    {"spam-watches", true, false,
     CV_RECEIVED(
         "unknown", "103.77.2.19",
         "Thu, 8 Jan 2026 02:22:41 +0100") "From: Luxury Replica Store "
                                           "<sales@replica-luxe.example>\n"
                                           "To: alice@example.com\n"
                                           "Subject: Rolex from $99 - free shipping worldwide\n"
                                           "Date: Thu, 8 Jan 2026 01:22:37 +0000\n"
                                           "Message-ID: <rx-5521@replica-luxe.example>\n"
                                           "Content-Type: text/html; charset=utf-8\n\n"
                                           "<html><body><p>Swiss quality replica watches at 90% "
                                           "OFF. Best prices guaranteed!\n"
                                           "<a href=\"http://replica-luxe.example/shop\">SHOP "
                                           "NOW</a> - limited stock, order\n"
                                           "today and get a FREE gift.</p><p><a "
                                           "href=\"http://replica-luxe.example/unsub\">"
                                           "unsubscribe</a></p></body></html>\n"},
    {"spam-phish", true, false,
     CV_RECEIVED(
         "vps-2231.hoster.example", "62.113.7.40",
         "Fri, 9 Jan 2026 06:31:18 +0100") "From: \"Account Security\" "
                                           "<security@paypa1-verify.example>\n"
                                           "To: alice@example.com\n"
                                           "Subject: Urgent: your account has been suspended\n"
                                           "Date: Fri, 9 Jan 2026 05:31:12 +0000\n"
                                           "Message-ID: <sec-00912@paypa1-verify.example>\n"
                                           "Content-Type: text/html; charset=utf-8\n\n"
                                           "<html><body><p>Dear Customer,</p><p>we detected "
                                           "unusual activity. Your account\n"
                                           "is <b>suspended</b> until you verify your identity "
                                           "within 24 hours.</p>\n"
                                           "<p><a "
                                           "href=\"http://paypa1-verify.example/login\">VERIFY "
                                           "NOW</a></p>\n"
                                           "<p>Failure to verify will result in permanent "
                                           "closure.</p></body></html>\n"},
    {"spam-loan", true, false,
     CV_RECEIVED(
         "unknown", "77.91.3.150",
         "Sat, 10 Jan 2026 03:48:26 +0100") "From: Fast Cash Approval "
                                            "<approve@fastcash-now.example>\n"
                                            "To: alice@example.com\n"
                                            "Subject: Pre-approved: $5,000 loan, no credit check\n"
                                            "Date: Sat, 10 Jan 2026 02:48:20 +0000\n"
                                            "Message-ID: <loan-3381@fastcash-now.example>\n"
                                            "Content-Type: text/plain; charset=us-ascii\n\n"
                                            "You are PRE-APPROVED for up to $5,000 cash today! No "
                                            "credit check, no\n"
                                            "paperwork. Money in your account in 1 hour. CLICK "
                                            "HERE to claim:\n"
                                            "http://fastcash-now.example/apply?id=a91\n\nTo "
                                            "unsubscribe reply STOP.\n"},
};

const std::vector<DemoMessage> kShow = {
    // 0: ordinary ham
    {"show-ham-project", false, false,
     CV_RECEIVED(
         "mail.fieldwork.example", "198.51.100.23",
         "Mon, 12 Jan 2026 08:45:10 +0100") "From: Tom Becker <tom.becker@fieldwork.example>\n"
                                            "To: alice@example.com\n"
                                            "Subject: Frame delivery plot 7 moved to Thursday\n"
                                            "Date: Mon, 12 Jan 2026 08:45:02 +0100\n"
                                            "Message-ID: <b91d.tom@fieldwork.example>\n"
                                            "Content-Type: text/plain; charset=utf-8\n\n"
                                            "Hi Alice,\n\nthe timber for the frame at plot 7 "
                                            "arrives Thursday, not Wednesday.\n"
                                            "Jana will be on site for the survey check. Crew "
                                            "starts Friday.\n\nTom\n"},
    // 1: obvious spam
    {"show-spam-pills", true, false,
     CV_RECEIVED(
         "unknown", "45.67.12.209",
         "Mon, 12 Jan 2026 03:01:44 +0100") "From: \"Pharmacy Deals\" "
                                            "<offers@meds-discount-shop.example>\n"
                                            "To: alice@example.com\n"
                                            "Subject: 80% OFF - no prescription needed, order now\n"
                                            "Date: Mon, 12 Jan 2026 02:01:40 +0000\n"
                                            "Message-ID: <9912kq@meds-discount-shop.example>\n"
                                            "Content-Type: text/html; charset=iso-8859-1\n\n"
                                            "<html><body><h1>SUPER SALE</h1><p>Best prices, FREE "
                                            "shipping worldwide, discreet\n"
                                            "packaging. <a "
                                            "href=\"http://meds-discount-shop.example/buy\">ORDER "
                                            "NOW</a></p>\n"
                                            "<p><a "
                                            "href=\"http://meds-discount-shop.example/"
                                            "unsub\">unsubscribe</a></p></body></html>\n"},
    // 2: a spam written to look personal
    {"show-spam-sneaky", true, false,
     CV_RECEIVED(
         "mail.docs-share.example", "5.188.10.14",
         "Mon, 12 Jan 2026 09:12:33 +0100") "From: Jana Novak <jana.novak@docs-share.example>\n"
                                            "To: alice@example.com\n"
                                            "Subject: Re: Survey report plot 7\n"
                                            "Date: Mon, 12 Jan 2026 08:12:30 +0000\n"
                                            "Message-ID: <share-1182@docs-share.example>\n"
                                            "Content-Type: text/plain; charset=utf-8\n\n"
                                            "Alice, the signed survey report is ready. The file is "
                                            "too large for mail,\n"
                                            "please log in with your work account to view it:\n"
                                            "http://docs-share.example/"
                                            "view?doc=plot7-report\nJana\n"},
    // 3: a legitimate newsletter that shouts like an advertisement
    {"show-ham-newsletter", false, false,
     CV_RECEIVED("news.bikeshop.example", "203.0.113.91",
                 "Mon, 12 Jan 2026 10:00:02 +0100") "From: Velo Werkstatt <news@bikeshop.example>\n"
                                                    "To: alice@example.com\n"
                                                    "Subject: Winter SALE: 30% OFF all lights - "
                                                    "this week only\n"
                                                    "Date: Mon, 12 Jan 2026 10:00:00 +0100\n"
                                                    "Message-ID: <nl-2026-02@bikeshop.example>\n"
                                                    "Content-Type: text/html; charset=utf-8\n\n"
                                                    "<html><body><h1>WINTER SALE</h1><p>Dear "
                                                    "customer, get 30% OFF all bike lights,\n"
                                                    "FREE shipping on orders over 50 EUR. <a "
                                                    "href=\"http://bikeshop.example/sale\">SHOP NOW"
                                                    "</a> - offer ends Sunday!</p><p>Your service "
                                                    "check is due in March.</p>\n"
                                                    "<p><a "
                                                    "href=\"http://bikeshop.example/"
                                                    "unsub\">unsubscribe</a></p></body></html>\n"},
    // 4: a colleague, through the store itself
    {"show-internal", false, true,
     "From: Carol Lindqvist <carol@example.com>\n"
     "To: Alice Weber <alice@example.com>\n"
     "Subject: Budget sheet for Q1\n"
     "Date: Mon, 12 Jan 2026 11:20:00 +0100\n"
     "Message-ID: <q1-budget.carol@example.com>\n"
     "Content-Type: text/plain; charset=utf-8\n\n"
     "Alice, I put the Q1 budget sheet on the share. FREE coffee in the kitchen\n"
     "for whoever fills in their hours first :-) Carol\n"},
};

const std::vector<DemoMessage> kFollowUp = {
    // 0: the rescued newsletter sender writes again
    {"next-newsletter", false, false,
     CV_RECEIVED(
         "news.bikeshop.example", "203.0.113.91",
         "Mon, 19 Jan 2026 10:00:02 +0100") "From: Velo Werkstatt <news@bikeshop.example>\n"
                                            "To: alice@example.com\n"
                                            "Subject: LAST CHANCE: 40% OFF winter tyres, order "
                                            "now\n"
                                            "Date: Mon, 19 Jan 2026 10:00:00 +0100\n"
                                            "Message-ID: <nl-2026-03@bikeshop.example>\n"
                                            "Content-Type: text/html; charset=utf-8\n\n"
                                            "<html><body><h1>LAST CHANCE</h1><p>40% OFF winter "
                                            "tyres, FREE fitting. "
                                            "<a href=\"http://bikeshop.example/tyres\">ORDER "
                                            "NOW</a></p>\n"
                                            "<p><a "
                                            "href=\"http://bikeshop.example/unsub\">unsubscribe</"
                                            "a></p></body></html>\n"},
    // 1: the same trick as the missed spam, a week later
    {"next-spam-sneaky", true, false,
     CV_RECEIVED(
         "mail.docs-share.example", "5.188.10.19",
         "Mon, 19 Jan 2026 09:02:11 +0100") "From: Tom Becker <tom.becker@docs-share.example>\n"
                                            "To: alice@example.com\n"
                                            "Subject: Re: Frame delivery plot 7\n"
                                            "Date: Mon, 19 Jan 2026 08:02:08 +0000\n"
                                            "Message-ID: <share-1207@docs-share.example>\n"
                                            "Content-Type: text/plain; charset=utf-8\n\n"
                                            "Alice, the delivery note for plot 7 is ready. The "
                                            "file is too large for mail,\n"
                                            "please log in with your work account to view it:\n"
                                            "http://docs-share.example/"
                                            "view?doc=plot7-delivery\nTom\n"},
};

const std::vector<DemoMessage> kSecondMailbox = {
    // 0: a brand-new user's first mail
    {"bob-ham", false, false,
     CV_RECEIVED(
         "mail.mailbox.example", "192.0.2.80",
         "Mon, 12 Jan 2026 12:30:15 +0100") "From: Sam Okafor <sam.okafor@mailbox.example>\n"
                                            "To: bob@example.org\n"
                                            "Subject: Climbing on Saturday?\n"
                                            "Date: Mon, 12 Jan 2026 12:30:11 +0100\n"
                                            "Message-ID: <climb-0112@mailbox.example>\n"
                                            "Content-Type: text/plain; charset=utf-8\n\n"
                                            "Bob, the hall opens at nine on Saturday. I can pick "
                                            "you up at half eight\n"
                                            "if you bring the rope. Sam\n"},
    // 1: a partner on the domain's whitelist, writing like a salesman
    {"bob-partner", false, false,
     CV_RECEIVED(
         "smtp.partner.example", "198.51.100.200",
         "Mon, 12 Jan 2026 13:05:44 +0100") "From: Lena Ortiz <lena.ortiz@partner.example>\n"
                                            "To: bob@example.org\n"
                                            "Subject: SPECIAL OFFER for your spring order - 25% "
                                            "OFF until Friday\n"
                                            "Date: Mon, 12 Jan 2026 13:05:40 +0100\n"
                                            "Message-ID: <spring-offer-77@partner.example>\n"
                                            "Content-Type: text/plain; charset=utf-8\n\n"
                                            "Hi Bob, as agreed: 25% OFF the whole spring order if "
                                            "you confirm by Friday.\n"
                                            "FREE delivery as always. Order form: "
                                            "http://partner.example/order\nLena\n"},
};

}  // namespace

const std::vector<DemoMessage>& DemoSecondMailboxMessages() { return kSecondMailbox; }
const std::vector<DemoMessage>& DemoTrainingMessages() { return kTraining; }
const std::vector<DemoMessage>& DemoShowMessages() { return kShow; }
const std::vector<DemoMessage>& DemoFollowUpMessages() { return kFollowUp; }

}  // namespace corvalith::host
