#include "message_source.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "platform/failure.h"

namespace corvalith::host {

namespace {

namespace fs = std::filesystem;

bool StartsWith(const std::string& text, size_t at, std::string_view prefix) {
  return text.compare(at, prefix.size(), prefix) == 0;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure::FromErrno("cannot read " + path, errno);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw Failure::FromErrno("cannot read " + path, errno);
  return bytes;
}

// A line of one or more ">" followed by "From " is a quoted body line.
bool IsQuotedFromLine(const std::string& bytes, size_t at) {
  size_t i = at;
  while (i < bytes.size() && bytes[i] == '>') ++i;
  return i > at && StartsWith(bytes, i, "From ");
}

void DropFinalLineEnd(std::string* message) {
  if (!message->empty() && message->back() == '\n') message->pop_back();
  if (!message->empty() && message->back() == '\r') message->pop_back();
}

}  // namespace

bool LooksLikeMbox(const std::string& bytes) { return StartsWith(bytes, 0, "From "); }

std::vector<std::string> SplitMbox(const std::string& bytes) {
  std::vector<std::string> messages;
  std::string current;
  bool in_message = false;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find('\n', at);
    end = end == std::string::npos ? bytes.size() : end + 1;
    if (StartsWith(bytes, at, "From ")) {
      if (in_message) {
        DropFinalLineEnd(&current);
        messages.push_back(std::move(current));
        current.clear();
      }
      in_message = true;
    } else if (in_message) {
      size_t copy_from = IsQuotedFromLine(bytes, at) ? at + 1 : at;
      current.append(bytes, copy_from, end - copy_from);
    }
    at = end;
  }
  if (in_message) {
    DropFinalLineEnd(&current);
    messages.push_back(std::move(current));
  }
  return messages;
}

std::vector<SourceMessage> ReadMessages(const std::string& argument, std::istream& standard_input) {
  if (argument == "-") {
    std::string raw((std::istreambuf_iterator<char>(standard_input)),
                    std::istreambuf_iterator<char>());
    if (raw.empty()) throw Failure("no message on standard input", E_INVALIDARG);
    return {{"-", std::move(raw)}};
  }
  std::error_code error;
  fs::file_status status = fs::status(argument, error);
  if (error) throw Failure("cannot read " + argument + ": " + error.message(), E_INVALIDARG);

  std::vector<SourceMessage> messages;
  if (fs::is_directory(status)) {
    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(argument, error)) {
      if (entry.path().filename().string().starts_with(".")) continue;
      if (entry.is_regular_file()) files.push_back(entry.path().string());
    }
    if (error) throw Failure("cannot list " + argument + ": " + error.message(), E_INVALIDARG);
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
      std::string raw = ReadWholeFile(file);
      if (!raw.empty()) messages.push_back({file, std::move(raw)});
    }
    if (messages.empty()) throw Failure("no message files in " + argument, E_INVALIDARG);
    return messages;
  }
  if (!fs::is_regular_file(status)) throw Failure("not a file: " + argument, E_INVALIDARG);

  std::string raw = ReadWholeFile(argument);
  if (raw.empty()) throw Failure("empty message file: " + argument, E_INVALIDARG);
  if (!LooksLikeMbox(raw)) return {{argument, std::move(raw)}};
  std::vector<std::string> parts = SplitMbox(raw);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].empty()) continue;
    messages.push_back({argument + "#" + std::to_string(i + 1), std::move(parts[i])});
  }
  if (messages.empty()) throw Failure("no message in mbox file " + argument, E_INVALIDARG);
  return messages;
}

}  // namespace corvalith::host
