// An explanation of a score (classifier/explain.h) as a person reads it on a terminal:
// `corvalith score --explain` prints it below a message's score, `corvalith report` below each
// mail a user rescued from the junk folder.
#ifndef CORVALITH_MAILHOST_EXPLANATION_TEXT_H_
#define CORVALITH_MAILHOST_EXPLANATION_TEXT_H_

#include <string>

#include "classifier/explain.h"

namespace corvalith::host {

// `value` printed with a printf `format` for one double ("%+.3f").
std::string FormatNumber(double value, const char* format);

// The shares against the threshold, the site model's part and the features each way, every
// line begun with a line break and two blanks. Feature names come from the mail: their control
// characters are escaped.
std::string ExplanationText(const Explanation& explanation);

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_EXPLANATION_TEXT_H_
