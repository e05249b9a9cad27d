// A JSON text as a tree of values, read with nlohmann's reader.
//
// The tree is the platform's own rather than nlohmann's: nlohmann's tree
// allocates while it is destroyed, so that a failed allocation there would
// end the process instead of failing the call.  Documents nest at most
// kDeepest containers, so destroying one costs a few stack frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::json {

// Deeper than any document the platform reads: a machine file's deepest,
// {"volumes": [{"fail": {"paths": {"code": 1}}}]}, is four containers.
inline constexpr std::size_t kDeepest = 8;

struct Value {
  enum class Kind { kNull, kBoolean, kSigned, kUnsigned, kFloat, kString,
                    kArray, kObject };
  Kind kind = Kind::kNull;
  std::uint64_t unsigned_number = 0;  // kUnsigned
  std::int64_t signed_number = 0;     // kSigned
  std::string text;                   // kString
  std::vector<Value> items;           // kArray
  std::vector<std::pair<std::string, Value>> members;  // kObject

  bool is_object() const { return kind == Kind::kObject; }
  bool is_array() const { return kind == Kind::kArray; }
  bool is_string() const { return kind == Kind::kString; }
  bool is_number_unsigned() const { return kind == Kind::kUnsigned; }
  bool is_number_signed() const { return kind == Kind::kSigned; }

  // The member named `key`, the last one where the key is repeated (as
  // JSON readers commonly take it); null when there is none.
  const Value* Find(const char* key) const {
    for (auto member = members.rbegin(); member != members.rend(); ++member) {
      if (member->first == key) return &member->second;
    }
    return nullptr;
  }
};

// Why a text is no JSON document: what() says where and what, as in "not
// valid JSON: parse error at line 1, column 14: ...".
class SyntaxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The document of `text`, which must be one JSON value and nothing after it
// (a NUL byte included); throws SyntaxError otherwise.
Value Read(std::string_view text);

}  // namespace platform::json
