#include "mailhost/message_source.h"

#include <cerrno>
#include <iterator>

#include "platform/failure.h"

namespace corvalith::host {

namespace {

bool StartsWith(const std::string& text, size_t at, std::string_view prefix) {
  return text.compare(at, prefix.size(), prefix) == 0;
}

std::string ReadWholeFile(FileSystem& files, const std::string& path) {
  try {
    return files.ReadFile(path, kMaxSourceFileBytes);
  } catch (const Failure& failure) {
    // Too large for any try; its text says what is wrong with the file.
    if (failure.number() == EFBIG) throw Failure::Permanent(failure.description(), EFBIG);
    throw Failure("cannot read " + failure.description(), failure.number(), failure.kind());
  }
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

std::vector<SourceMessage> ReadMessages(FileSystem& files, const std::string& argument,
                                        std::istream& standard_input) {
  if (argument == "-") {
    std::string raw;
    std::istreambuf_iterator<char> in(standard_input), end;
    for (; in != end && raw.size() <= kMaxSourceFileBytes; ++in) raw.push_back(*in);
    if (raw.empty()) throw Failure::Permanent("no message on standard input", E_INVALIDARG);
    if (raw.size() > kMaxSourceFileBytes) {
      throw Failure::Permanent(
          "standard input holds more than " + std::to_string(kMaxSourceFileBytes) + " bytes",
          EFBIG);
    }
    return {{"-", std::move(raw)}};
  }

  std::vector<SourceMessage> messages;
  switch (files.KindOf(argument)) {
    case FileKind::kMissing:
      throw Failure::Permanent("cannot read " + argument + ": no such file or directory",
                               E_INVALIDARG);
    case FileKind::kOther:
      throw Failure::Permanent("not a file: " + argument, E_INVALIDARG);
    case FileKind::kDirectory:
      for (const std::string& name : files.ListDirectory(argument)) {
        std::string file = argument + "/" + name;
        if (name.starts_with(".") || files.KindOf(file) != FileKind::kFile) continue;
        std::string raw = ReadWholeFile(files, file);
        if (!raw.empty()) messages.push_back({file, std::move(raw)});
      }
      if (messages.empty()) {
        throw Failure::Permanent("no message files in " + argument, E_INVALIDARG);
      }
      return messages;
    case FileKind::kFile:
      break;
  }

  std::string raw = ReadWholeFile(files, argument);
  if (raw.empty()) throw Failure::Permanent("empty message file: " + argument, E_INVALIDARG);
  if (!LooksLikeMbox(raw)) return {{argument, std::move(raw)}};
  std::vector<std::string> parts = SplitMbox(raw);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].empty()) continue;
    messages.push_back({argument + "#" + std::to_string(i + 1), std::move(parts[i])});
  }
  if (messages.empty()) {
    throw Failure::Permanent("no message in mbox file " + argument, E_INVALIDARG);
  }
  return messages;
}

}  // namespace corvalith::host
