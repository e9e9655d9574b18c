// Generic JSON value: the sections of a tokenizer document that the editor does
// not interpret (added-token entries, normalizer, pre_tokenizer, ...).
//
// Numbers keep their class: unsigned 64-bit, negative 64-bit, or double. Objects
// keep their members sorted by key bytes with unique keys (a key given twice
// keeps its last value), which is also the order they are written in. Strings
// own their bytes; a Value is a self-contained tree with no views into other
// storage.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quorvane {

class Value;
using Array = std::vector<Value>;
// Members sorted by key (byte order), keys unique.
using Object = std::vector<std::pair<std::string, Value>>;

class Value {
 public:
  struct Null {
    bool operator==(const Null&) const = default;
  };
  struct NegInt {
    std::int64_t value;
    bool operator==(const NegInt&) const = default;
  };

  Value() : v_(Null{}) {}
  static Value null() { return Value(); }
  static Value boolean(bool b) { return Value(b); }
  static Value uint(std::uint64_t u) { return Value(u); }
  static Value neg_int(std::int64_t i) { return Value(NegInt{i}); }
  static Value number(double d) { return Value(d); }
  static Value string(std::string s) { return Value(std::move(s)); }
  static Value array(Array a) { return Value(std::move(a)); }
  static Value object(Object o) { return Value(std::move(o)); }

  bool is_null() const { return std::holds_alternative<Null>(v_); }
  const bool* as_bool() const { return std::get_if<bool>(&v_); }
  const std::uint64_t* as_uint() const { return std::get_if<std::uint64_t>(&v_); }
  const NegInt* as_neg_int() const { return std::get_if<NegInt>(&v_); }
  const double* as_double() const { return std::get_if<double>(&v_); }
  const std::string* as_string() const { return std::get_if<std::string>(&v_); }
  const Array* as_array() const { return std::get_if<Array>(&v_); }
  Array* as_array() { return std::get_if<Array>(&v_); }
  const Object* as_object() const { return std::get_if<Object>(&v_); }
  Object* as_object() { return std::get_if<Object>(&v_); }

  // Member lookup on an object; null when this is not an object or has no such key.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);

  // Sets (or replaces) a member of an object, keeping the key order.
  void set(std::string key, Value value);

  bool operator==(const Value& other) const = default;

 private:
  template <typename T>
  explicit Value(T v) : v_(std::move(v)) {}

  std::variant<Null, bool, std::uint64_t, NegInt, double, std::string, Array, Object> v_;
};

// Inserts or replaces `key` in a sorted object.
void object_set(Object& object, std::string key, Value value);

}  // namespace quorvane
