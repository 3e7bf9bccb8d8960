// Evidence about who sent a mail and how, as features that generalise across senders: a
// subscribed newsletter comes from its own domain's servers, names that domain in its
// Return-Path, Message-ID and unsubscribe address, links to it, and passes authentication
// for it; bulk spam names one domain, relays through another and links to a third. Words and
// tokens cannot say this, because each sender's domain is new to a user until trained.
//
// Each feature is a short readable phrase ("sender: from domain differs from return-path"),
// hashed; the phrase is its explain name.
#ifndef CORVALITH_CLASSIFIER_SENDER_EVIDENCE_H_
#define CORVALITH_CLASSIFIER_SENDER_EVIDENCE_H_

#include <string>
#include <vector>

#include "classifier/feature_sink.h"
#include "classifier/header_fields.h"

namespace corvalith {

// Adds the evidence of the header `fields` and the hosts the body links to.
void AddSenderEvidence(const std::vector<HeaderField>& fields,
                       const std::vector<std::string>& link_hosts, FeatureSink* sink);

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_SENDER_EVIDENCE_H_
