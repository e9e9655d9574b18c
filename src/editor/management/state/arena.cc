#include "editor/management/state/arena.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <sys/mman.h>

#include <sanitizer/asan_interface.h>

namespace quorvane {

namespace {
constexpr std::size_t kChunkSize = 256 * 1024;
constexpr std::size_t kMapThreshold = 4u << 20;
// What an empty string is stored as: a view with a data pointer, like every
// other stored string, so that it can be handed to memcpy and friends.
constexpr std::string_view kEmpty = "";

// Under AddressSanitizer every chunk starts poisoned and each string is made
// addressable on its own, 8-byte aligned and followed by at least 8 poisoned
// bytes, so reading past the end of one stored string into the next is
// reported like an overrun of a heap block. Elsewhere the macros are no-ops.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kRedzones = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kRedzones = true;
#else
constexpr bool kRedzones = false;
#endif
#else
constexpr bool kRedzones = false;
#endif
constexpr std::size_t kGranule = 8;
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

Arena::~Arena() {
  // Chunks go back to the allocator as they came from it.
  for (std::size_t i = 0; i < chunk_sizes_.size(); ++i) {
    ASAN_UNPOISON_MEMORY_REGION(chunks_[i].get(), chunk_sizes_[i]);
  }
}

char* Arena::reserve(std::size_t n) {
  // With redzones: round up to whole granules plus one poisoned granule.
  const std::size_t take = kRedzones ? (n + kGranule - 1) / kGranule * kGranule + kGranule : n;
  if (take > left_) {
    const std::size_t size = std::max(kChunkSize, take);
    chunks_.emplace_back(new char[size]);
    if constexpr (kRedzones) chunk_sizes_.push_back(size);
    cursor_ = chunks_.back().get();
    left_ = size;
    held_ += size;
    ASAN_POISON_MEMORY_REGION(cursor_, size);
  }
  char* out = cursor_;
  cursor_ += take;
  left_ -= take;
  ASAN_UNPOISON_MEMORY_REGION(out, n);
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
