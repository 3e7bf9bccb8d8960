// The batch protocol: one JSON request per line on standard input (cli/batch_request.h), one
// JSON answer per line on standard output, all through one filter instance. A request that
// fails is answered {"ok":false,"error":...,"retry":...} and the next line is read: "retry"
// is the failure's kind, true when the same request may succeed later. An "id" in a request
// is echoed in its answer, so that a script may keep several requests in flight.
#include <sstream>

#include "cli/batch_request.h"
#include "cli/command.h"
#include "config/constructor_string.h"
#include "mailhost/mail_host.h"
#include "mailhost/message_score.h"
#include "mailhost/message_source.h"

namespace corvalith::host {

namespace {

// The one message of the request's file.
std::string OneMessage(FileSystem& files, const BatchRequest& request) {
  std::istringstream no_input;
  std::vector<SourceMessage> messages = ReadMessages(files, request.file, no_input);
  if (messages.size() != 1) {
    throw Failure::Permanent("the file holds " + std::to_string(messages.size()) +
                                 " messages; batch takes one message per line",
                             E_INVALIDARG);
  }
  return std::move(messages[0].raw);
}

Json Deliver(MailHost& host, FileSystem& files, const BatchRequest& request) {
  return StateJson(
      host.Deliver(request.to, request.folder, OneMessage(files, request), request.internal));
}

Json Move(MailHost& host, const BatchRequest& request) {
  return StateJson(host.Move(request.url, request.folder));
}

Json Score(MailHost& host, FileSystem& files, const std::string& data_directory,
           const BatchRequest& request) {
  const MailboxAddress mailbox = host.RequireMailbox(request.to);
  return Json{{"ok", true},
              {"score", ScoreMessage(data_directory, mailbox, OneMessage(files, request))}};
}

// The answer to a request, by its operation.
Json Answer(MailHost& host, FileSystem& files, const std::string& data_directory,
            const BatchRequest& request) {
  switch (request.op) {
    case BatchRequest::Op::kDeliver:
      return Deliver(host, files, request);
    case BatchRequest::Op::kMove:
      return Move(host, request);
    case BatchRequest::Op::kScore:
      return Score(host, files, data_directory, request);
  }
  throw Failure::Permanent("unknown operation", E_INVALIDARG);
}

}  // namespace

int RunBatch(Context& c) {
  ExpectPositional(c.line, c.command, 0, 0);
  MailHost host(c.home, c.construct_string);
  const std::string data = DataDirectoryFromConstructString(c.construct_string);
  // Batch answers are JSON whatever the output mode: a script is on the other end.
  Output answers(c.out, true);
  int failures = 0;
  std::string line;
  for (LineRead read;
       (read = ReadBoundedLine(c.in, kMaxBatchLineBytes, &line)) != LineRead::kEnd;) {
    if (read == LineRead::kTooLong) {
      ++failures;
      answers.Emit(Json{{"ok", false},
                        {"error", "line longer than " + std::to_string(kMaxBatchLineBytes) +
                                      " bytes; skipped"},
                        {"retry", false}},
                   "");
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Json answer;
    try {
      answer = Answer(host, c.files, data, ParseBatchRequest(line));
    } catch (const Failure& failure) {
      ++failures;
      answer =
          Json{{"ok", false}, {"error", failure.description()}, {"retry", !failure.permanent()}};
    }
    Json request = Json::parse(line, nullptr, false);
    if (request.is_object() && request.contains("id")) answer["id"] = request["id"];
    answers.Emit(answer, "");
  }
  return failures == 0 ? kExitOk : kExitFailed;
}

}  // namespace corvalith::host
