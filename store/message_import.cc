#include "store/message_import.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <mutex>
#include <string_view>

#include "platform/failure.h"
#include "platform/mail_header.h"
#include "platform/text.h"
#include "store/mailbox_url.h"
#include "store/store_errors.h"

namespace corvalith::store {
namespace {

// Deeper nesting than this is no real mail; the walk stops there so that a hostile message
// cannot make the recursion below run out of stack. (GMime's parser caps its own nesting at
// 1024 levels, so parsing itself stays bounded.)
constexpr int kMaxNesting = 32;

void DeriveBodies(const std::string& raw, DerivedMessage* out);

// GLib makes a type's class when it is first used, under locks of its own that a race
// detector does not see; one message of every kind the parser meets, parsed here once, makes
// them all before saves run at the same time.
constexpr char kEveryKindOfPart[] =
    "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
    "--b\r\nContent-Type: multipart/alternative; boundary=c\r\n\r\n"
    "--c\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\nx=3D\r\n"
    "--c\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: base64\r\n\r\nPGI+\r\n"
    "--c--\r\n"
    "--b\r\nContent-Type: message/rfc822\r\n\r\nSubject: =?utf-8?q?x?=\r\n\r\nx\r\n"
    "--b\r\nContent-Type: message/partial; id=x; number=1\r\n\r\nx\r\n"
    "--b\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment\r\n\r\nx\r\n"
    "--b--\r\n";

void InitGMime() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_mime_init();
    DerivedMessage unused;
    DeriveBodies(kEveryKindOfPart, &unused);
  });
}

// Owns one GObject reference.
template <class T>
struct GObjectRef {
  T* ptr;
  explicit GObjectRef(T* p) : ptr(p) {}
  ~GObjectRef() {
    if (ptr) g_object_unref(ptr);
  }
  GObjectRef(const GObjectRef&) = delete;
  GObjectRef& operator=(const GObjectRef&) = delete;
};

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool IsUtf8(std::string_view bytes) {
  return g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr);
}

// String properties of the store are NUL-terminated (PT_STRING8), so a NUL in a part would cut
// the text short for every reader; it is dropped instead.
std::string WithoutNul(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  return text;
}

// The text in UTF-8, without NULs. Undeclared text is taken as UTF-8 when it is valid (ASCII
// is), and any text that does not convert from its declared charset is read as latin-1, which
// every byte sequence is: the filter needs some text more than it needs the right text.
std::string ToUtf8(const std::string& bytes, const char* charset) {
  if (charset != nullptr && *charset != '\0') {
    const char* name = g_mime_charset_iconv_name(charset);
    gsize written = 0;
    GError* error = nullptr;
    gchar* converted = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                                 name ? name : charset, nullptr, &written, &error);
    if (error) g_error_free(error);
    if (converted != nullptr) {
      std::string result = WithoutNul(std::string(converted, written));
      g_free(converted);
      if (IsUtf8(result)) return result;
    }
  } else {
    std::string text = WithoutNul(bytes);
    if (IsUtf8(text)) return text;
  }
  return Latin1ToUtf8(WithoutNul(bytes));
}

// The unfolded value of the first header field called `name`, read from the header block
// itself rather than from GMime so that it is the message's own text, whatever GMime
// makes of malformed fields.
std::optional<std::string> RawHeader(std::string_view headers, std::string_view name) {
  MailHeaderReader reader(headers);
  while (std::optional<MailHeaderField> field = reader.Next()) {
    if (EqualsIgnoringCase(TrimWhitespace(field->name), name)) {
      return std::string(TrimWhitespace(field->Unfolded()));
    }
  }
  return std::nullopt;
}

std::string DecodeHeaderText(const std::string& value) {
  // GMime stops at a NUL; so would any reader of the property.
  char* decoded = g_mime_utils_header_decode_text(nullptr, value.c_str());
  if (decoded == nullptr) return ToUtf8(value, nullptr);
  std::string result(decoded);
  g_free(decoded);
  return IsUtf8(result) ? result : Latin1ToUtf8(result);
}

std::string PartText(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return "";
  GObjectRef<GMimeStream> sink(g_mime_stream_mem_new());
  // Writing the wrapper decodes its transfer encoding.
  g_mime_data_wrapper_write_to_stream(content, sink.ptr);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(sink.ptr));
  std::string decoded(reinterpret_cast<const char*>(bytes->data), bytes->len);
  return ToUtf8(decoded, g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset"));
}

void Walk(GMimeObject* object, int depth, DerivedMessage* out) {
  if (object == nullptr || depth > kMaxNesting || (out->plain_body && out->html_body)) return;
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i) Walk(g_mime_multipart_get_part(multipart, i), depth + 1, out);
    return;
  }
  // A forwarded message (message/rfc822) is an attachment here, not the body.
  if (!GMIME_IS_PART(object)) return;
  GMimePart* part = GMIME_PART(object);
  if (g_mime_part_is_attachment(part)) return;
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (type == nullptr) return;
  if (!out->plain_body && g_mime_content_type_is_type(type, "text", "plain")) {
    out->plain_body = PartText(part);
  } else if (!out->html_body && g_mime_content_type_is_type(type, "text", "html")) {
    out->html_body = PartText(part);
  }
}

void DeriveBodies(const std::string& raw, DerivedMessage* out) {
  GObjectRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.data(), raw.size()));
  GObjectRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.ptr));
  g_mime_parser_set_format(parser.ptr, GMIME_FORMAT_MESSAGE);
  GObjectRef<GMimeMessage> message(g_mime_parser_construct_message(parser.ptr, nullptr));
  if (message.ptr == nullptr) return;
  GMimeObject* top = g_mime_message_get_mime_part(message.ptr);
  Walk(top, 0, out);
  // A multipart whose boundary never occurs (spam gets it wrong) parses as one prologue with
  // no parts; its text is still the body the reader would see.
  if (!out->plain_body && !out->html_body && top != nullptr && GMIME_IS_MULTIPART(top) &&
      g_mime_multipart_get_count(GMIME_MULTIPART(top)) == 0) {
    if (const char* prologue = g_mime_multipart_get_prologue(GMIME_MULTIPART(top))) {
      out->plain_body = ToUtf8(prologue, nullptr);
    }
  }
}

}  // namespace

std::string_view HeaderBlock(std::string_view raw) {
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t end = raw.find('\n', pos);
    std::string_view line = raw.substr(pos, end == std::string_view::npos ? raw.npos : end - pos);
    if (line.empty() || line == "\r") return raw.substr(0, pos);
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  return raw;
}

void CreateMailbox(Connection& connection, const std::string& domain, const std::string& user) {
  const std::string root = MailboxRootUrl(domain, user);
  auto create = [&](const std::string& url) {
    try {
      connection
          .OpenRecord(url, adModeReadWrite, adCreateCollection, adOpenRecordUnspecified, "", "")
          ->Close();
    } catch (const Failure& failure) {
      // Idempotence: a folder that exists already is what we wanted.
      if (!IsStoreError(failure, StoreError::kAlreadyExists)) throw;
    }
  };
  create(root);
  for (const char* folder :
       {kInboxFolder, kSentItemsFolder, kDeletedItemsFolder, kJunkMailFolder}) {
    create(root + "/" + folder);
  }
  auto record = connection.OpenRecord(root, adModeReadWrite, adFailIfNotExists,
                                      adOpenRecordUnspecified, "", "");
  const Variant deleted = Variant::String(root + "/" + kDeletedItemsFolder);
  Field& field = record->GetFields().Item(kDeletedItemsProperty);
  if (field.Value() != deleted) {
    field.SetValue(deleted);
    record->GetFields().Update();
  }
  record->Close();
}

DerivedMessage DeriveMessage(const std::string& raw, Origin origin) {
  InitGMime();
  DerivedMessage out;
  out.address_type = origin == Origin::kExternal ? kExternalAddressType : kInternalAddressType;
  const std::string_view headers = HeaderBlock(raw);
  if (origin == Origin::kExternal) out.header_block = std::string(headers);
  if (auto from = RawHeader(headers, "From")) out.from = DecodeHeaderText(*from);
  if (auto subject = RawHeader(headers, "Subject")) out.subject = DecodeHeaderText(*subject);
  DeriveBodies(raw, &out);
  return out;
}

void ImportMessage(Connection& connection, const std::string& item_url, const std::string& raw,
                   Origin origin, Existing existing) {
  const DerivedMessage derived = DeriveMessage(raw, origin);
  auto record = connection.OpenRecord(
      item_url, adModeReadWrite,
      existing == Existing::kReplace ? adCreateOverwrite : adCreateNonCollection,
      adOpenRecordUnspecified, "", "");
  Fields& fields = record->GetFields();
  std::unique_ptr<Stream> content = fields.Item(adDefaultStream).StreamValue();
  content->SetType(adTypeBinary);
  content->Write(raw);
  content->Flush();
  auto set = [&](const std::string& name, const std::optional<std::string>& value) {
    if (value) fields.Item(name).SetValue(Variant::String(*value));
  };
  set(kFromProperty, derived.from);
  set(kSubjectProperty, derived.subject);
  set(kHeaderBlockProperty, derived.header_block);
  set(kPlainBodyProperty, derived.plain_body);
  set(kHtmlBodyProperty, derived.html_body);
  set(kAddressTypeProperty, derived.address_type);
  fields.Update();
  record->Close();
}

}  // namespace corvalith::store
