#include "cli/batch_request.h"

#include <limits>

#include "mailhost/output.h"
#include "platform/failure.h"
#include "store/message_import.h"

namespace corvalith::host {

LineRead ReadBoundedLine(std::istream& in, size_t max_bytes, std::string* line) {
  line->clear();
  std::streambuf* buffer = in.rdbuf();
  for (;;) {
    const int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      in.setstate(std::ios::eofbit);
      return line->empty() ? LineRead::kEnd : LineRead::kLine;
    }
    if (c == '\n') return LineRead::kLine;
    if (line->size() == max_bytes) {
      line->clear();
      in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      return LineRead::kTooLong;
    }
    line->push_back(static_cast<char>(c));
  }
}

BatchRequest ParseBatchRequest(const std::string& line) {
  Json request = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (request.is_discarded() || !request.is_object()) {
    throw Failure::Permanent("not a JSON object", E_INVALIDARG);
  }
  auto text = [&](const char* name) -> std::string {
    auto it = request.find(name);
    if (it == request.end() || !it->is_string()) {
      throw Failure::Permanent(std::string("missing string field \"") + name + "\"", E_INVALIDARG);
    }
    return it->get<std::string>();
  };
  BatchRequest parsed;
  std::string op = text("op");
  if (op == "deliver") {
    parsed.op = BatchRequest::Op::kDeliver;
    parsed.to = ParseMailboxAddress(text("to"));
    parsed.folder = request.contains("folder") ? text("folder") : store::kInboxFolder;
    if (request.contains("internal")) {
      if (!request["internal"].is_boolean()) {
        throw Failure::Permanent("field \"internal\" must be true or false", E_INVALIDARG);
      }
      parsed.internal = request["internal"].get<bool>();
    }
    parsed.file = text("file");
    return parsed;
  }
  if (op == "score") {
    parsed.op = BatchRequest::Op::kScore;
    parsed.to = ParseMailboxAddress(text("to"));
    parsed.file = text("file");
    return parsed;
  }
  if (op == "move") {
    parsed.op = BatchRequest::Op::kMove;
    parsed.url = text("url");
    parsed.folder = text("folder");
    return parsed;
  }
  throw Failure::Permanent("unknown op \"" + op + "\" (deliver, move or score)", E_INVALIDARG);
}

}  // namespace corvalith::host
