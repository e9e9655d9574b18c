#include "editor/management/arena.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <sys/mman.h>

namespace quorvane {

namespace {
constexpr std::size_t kChunkSize = 256 * 1024;
constexpr std::size_t kMapThreshold = 4u << 20;
// What an empty string is stored as: a view with a data pointer, like every
// other stored string, so that it can be handed to memcpy and friends.
constexpr std::string_view kEmpty = "";
}  // namespace

ByteBuffer::ByteBuffer(std::size_t capacity) : capacity_(capacity) {
  if (capacity >= kMapThreshold) {
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    ::madvise(p, capacity, MADV_HUGEPAGE);
    data_ = static_cast<char*>(p);
    mapped_ = true;
  } else {
    data_ = new char[capacity == 0 ? 1 : capacity];
  }
}

ByteBuffer::~ByteBuffer() {
  if (data_ == nullptr) return;
  if (mapped_) ::munmap(data_, capacity_);
  else delete[] data_;
}

char* Arena::reserve(std::size_t n) {
  if (n > left_) {
    const std::size_t size = std::max(kChunkSize, n);
    chunks_.emplace_back(new char[size]);
    cursor_ = chunks_.back().get();
    left_ = size;
    held_ += size;
  }
  char* out = cursor_;
  cursor_ += n;
  left_ -= n;
  return out;
}

std::string_view Arena::store(std::string_view s) {
  if (s.empty()) return kEmpty;
  char* out = reserve(s.size());
  std::memcpy(out, s.data(), s.size());
  return {out, s.size()};
}

std::string_view Arena::store_concat(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() + b.size();
  if (n == 0) return kEmpty;
  char* out = reserve(n);
  if (!a.empty()) std::memcpy(out, a.data(), a.size());
  if (!b.empty()) std::memcpy(out + a.size(), b.data(), b.size());
  return {out, n};
}

std::string_view Arena::adopt(std::string buffer) {
  held_ += buffer.size();
  adopted_.push_back(std::make_unique<std::string>(std::move(buffer)));
  return *adopted_.back();
}

std::string_view Arena::adopt(ByteBuffer buffer) {
  held_ += buffer.capacity();
  buffers_.push_back(std::move(buffer));
  return buffers_.back().view();
}

}  // namespace quorvane
