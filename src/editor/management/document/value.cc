#include "editor/management/document/value.h"

#include <algorithm>

namespace quorvane {

namespace {

auto lower_bound_key(const Object& object, std::string_view key) {
  return std::lower_bound(object.begin(), object.end(), key,
                          [](const auto& member, std::string_view k) {
                            return std::string_view(member.first) < k;
                          });
}

}  // namespace

const Value* Value::find(std::string_view key) const {
  const Object* object = as_object();
  if (object == nullptr) return nullptr;
  auto it = lower_bound_key(*object, key);
  if (it == object->end() || it->first != key) return nullptr;
  return &it->second;
}

Value* Value::find(std::string_view key) {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

void Value::set(std::string key, Value value) {
  if (Object* object = as_object()) object_set(*object, std::move(key), std::move(value));
}

void object_set(Object& object, std::string key, Value value) {
  auto it = lower_bound_key(object, key);
  auto pos = object.begin() + (it - object.cbegin());
  if (pos != object.end() && pos->first == key) {
    pos->second = std::move(value);
  } else {
    object.emplace(pos, std::move(key), std::move(value));
  }
}

}  // namespace quorvane
