#include "platform/json_document.h"

#include <nlohmann/json.hpp>

namespace platform::json {
namespace {

// nlohmann's reader checks the syntax and hands each token to a Document,
// which builds the tree.
class Document {
 public:
  using json = nlohmann::json;

  // The handler interface of json::sax_parse.
  bool null() { return Add(Value{}); }
  bool boolean(bool) { return Add(Scalar(Value::Kind::kBoolean)); }
  bool number_integer(json::number_integer_t number) {
    Value value = Scalar(Value::Kind::kSigned);
    value.signed_number = number;
    return Add(std::move(value));
  }
  bool number_unsigned(json::number_unsigned_t number) {
    Value value = Scalar(Value::Kind::kUnsigned);
    value.unsigned_number = number;
    return Add(std::move(value));
  }
  bool number_float(json::number_float_t, const json::string_t&) {
    return Add(Scalar(Value::Kind::kFloat));
  }
  bool string(json::string_t& text) {
    Value value = Scalar(Value::Kind::kString);
    value.text = std::move(text);
    return Add(std::move(value));
  }
  bool binary(json::binary_t&) { return Add(Value{}); }  // not in JSON text
  bool start_object(std::size_t) { return Open(Value::Kind::kObject); }
  bool key(json::string_t& key) {
    key_ = std::move(key);
    return true;
  }
  bool end_object() { return Close(); }
  bool start_array(std::size_t) { return Open(Value::Kind::kArray); }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& error) {
    // A syntax error, or a number too large for any numeric type (1e400).
    std::string detail = error.what();
    // Drop nlohmann's "[json.exception.parse_error.101] " tag.
    const auto tag_end = detail.find("] ");
    if (tag_end != std::string::npos) detail.erase(0, tag_end + 2);
    // The reader quotes the token at fault, which may be the whole file.
    constexpr std::size_t kLongest = 200;
    if (detail.size() > kLongest) detail.replace(kLongest, std::string::npos, "...");
    problem_ = "not valid JSON: " + detail;
    return false;
  }

  Value Read(std::string_view text) {
    if (!json::sax_parse(text, this) || !problem_.empty()) {
      throw SyntaxError(problem_.empty() ? "not valid JSON" : problem_);
    }
    return std::move(root_);
  }

 private:
  static Value Scalar(Value::Kind kind) {
    Value value;
    value.kind = kind;
    return value;
  }

  // Places a value in the container open now, or makes it the root; returns
  // the value in its place.
  Value* Place(Value value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Value& container = *open_.back();
    if (container.is_array()) {
      container.items.push_back(std::move(value));
      return &container.items.back();
    }
    container.members.emplace_back(std::move(key_), std::move(value));
    return &container.members.back().second;
  }
  bool Add(Value value) {
    Place(std::move(value));
    return true;
  }
  bool Open(Value::Kind kind) {
    if (open_.size() >= kDeepest) {
      problem_ = "values nested more than " + std::to_string(kDeepest) +
                 " deep (the format goes no deeper than 4)";
      return false;
    }
    open_.reserve(kDeepest);
    open_.push_back(Place(Scalar(kind)));
    return true;
  }
  bool Close() {
    open_.pop_back();
    return true;
  }

  Value root_;
  std::vector<Value*> open_;  // the containers open now, innermost last
  std::string key_;
  std::string problem_;
};

}  // namespace

Value Read(std::string_view text) {
  // The whole text is the document: the reader would stop at a NUL byte
  // and take what comes before it for the document.
  const auto nul = text.find('\0');
  if (nul != std::string_view::npos) {
    throw SyntaxError("not valid JSON: a NUL byte at byte " +
                      std::to_string(nul + 1));
  }
  return Document().Read(text);
}

}  // namespace platform::json
