#include "sink/save_outcome.h"

namespace corvalith {

namespace {

thread_local SaveOutcome* receiver = nullptr;

}  // namespace

SaveOutcomeReceiver::SaveOutcomeReceiver(SaveOutcome* outcome) : outer_(receiver) {
  receiver = outcome;
}

SaveOutcomeReceiver::~SaveOutcomeReceiver() { receiver = outer_; }

SaveOutcome* CurrentSaveOutcomeReceiver() { return receiver; }

}  // namespace corvalith
