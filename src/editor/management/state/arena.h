// Append-only byte storage for token strings.
//
// Every token and merge string of a document is a std::string_view into an
// Arena. Bytes are never moved or freed before the Arena itself dies, so a view
// stays valid for the Arena's whole life, across any edit. The Arena can adopt a
// whole buffer (the text a document was read from) so that unescaped strings are
// views into it and cost no copy. Documents share their Arena through a
// shared_ptr; copies of a document therefore see the same bytes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// An uninitialised byte buffer. Large ones come straight from the system with
// huge pages requested: a 30 MB file is then faulted in a few dozen steps
// instead of thousands.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(std::size_t capacity);
  ByteBuffer(ByteBuffer&& other) noexcept { swap(other); }
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    ByteBuffer(std::move(other)).swap(*this);
    return *this;
  }
  ~ByteBuffer();

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  void set_size(std::size_t n) noexcept { size_ = n; }
  std::string_view view() const noexcept { return {data_, size_}; }

 private:
  void swap(ByteBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(mapped_, other.mapped_);
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;
};

class Arena {
 public:
  Arena() = default;
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // Copies `s` into the arena and returns a view of the copy.
  std::string_view store(std::string_view s);

  // Copies a + b into the arena as one string.
  std::string_view store_concat(std::string_view a, std::string_view b);

  // Takes ownership of `buffer`; views into it stay valid for the arena's life.
  std::string_view adopt(std::string buffer);
  std::string_view adopt(ByteBuffer buffer);

  // Bytes held in chunks and adopted buffers (for memory reports).
  std::size_t bytes_held() const noexcept { return held_; }

 private:
  char* reserve(std::size_t n);

  std::vector<std::unique_ptr<char[]>> chunks_;
  std::vector<std::size_t> chunk_sizes_;  // kept only under AddressSanitizer
  std::vector<std::unique_ptr<std::string>> adopted_;
  std::vector<ByteBuffer> buffers_;
  char* cursor_ = nullptr;
  std::size_t left_ = 0;
  std::size_t held_ = 0;
};

}  // namespace quorvane
