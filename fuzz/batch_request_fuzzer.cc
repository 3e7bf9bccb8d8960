// The standard input of `corvalith batch`, line by line as the command reads it: each line
// is parsed as a request, a move's item URL is taken apart as the host does before it
// touches the store, and a refusal becomes the JSON answer the command would write.
#include <sstream>
#include <string>

#include "cli/batch_request.h"
#include "fuzz_check.h"
#include "mailhost/mail_host.h"
#include "mailhost/output.h"
#include "platform/failure.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvalith;
  using namespace corvalith::host;
  std::istringstream lines(fuzz::Bytes(data, size));
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Json answer;
    try {
      BatchRequest request = ParseBatchRequest(line);
      if (request.op == BatchRequest::Op::kMove) {
        ItemLocation location = ParseItemUrl(request.url);
        FUZZ_CHECK(!location.mailbox.user.empty() && !location.mailbox.domain.empty());
      } else {
        FUZZ_CHECK(!request.to.user.empty() && !request.to.domain.empty());
      }
      answer = Json{{"ok", true}};
    } catch (const Failure& failure) {
      answer = Json{{"ok", false}, {"error", failure.description()}};
    }
    Json request = Json::parse(line, nullptr, false);
    if (request.is_object() && request.contains("id")) answer["id"] = request["id"];
    answer.dump();
  }
  return 0;
}
