#include "editor/gguf/gguf_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "editor/management/document/json_reader.h"

namespace quorvane::gguf {

static_assert(std::endian::native == std::endian::little,
              "values are copied from the file's little-endian bytes as they are");

std::string_view gguf_type_name(std::uint32_t type) {
  static constexpr std::string_view kNames[] = {"UINT8",   "INT8",  "UINT16", "INT16",  "UINT32",
                                                "INT32",   "FLOAT32", "BOOL", "STRING", "ARRAY",
                                                "UINT64",  "INT64", "FLOAT64"};
  return type < GGUF_TYPE_COUNT ? kNames[type] : "unknown";
}

std::optional<GgmlTypeTraits> ggml_type_traits(std::uint32_t type) {
  switch (type) {
    case GGML_TYPE_F32: return GgmlTypeTraits{"F32", 1, 4};
    case GGML_TYPE_F16: return GgmlTypeTraits{"F16", 1, 2};
    case GGML_TYPE_Q4_0: return GgmlTypeTraits{"Q4_0", 32, 18};
    case GGML_TYPE_Q4_1: return GgmlTypeTraits{"Q4_1", 32, 20};
    case GGML_TYPE_Q5_0: return GgmlTypeTraits{"Q5_0", 32, 22};
    case GGML_TYPE_Q5_1: return GgmlTypeTraits{"Q5_1", 32, 24};
    case GGML_TYPE_Q8_0: return GgmlTypeTraits{"Q8_0", 32, 34};
    case GGML_TYPE_Q8_1: return GgmlTypeTraits{"Q8_1", 32, 40};
    case GGML_TYPE_Q2_K: return GgmlTypeTraits{"Q2_K", 256, 84};
    case GGML_TYPE_Q3_K: return GgmlTypeTraits{"Q3_K", 256, 110};
    case GGML_TYPE_Q4_K: return GgmlTypeTraits{"Q4_K", 256, 144};
    case GGML_TYPE_Q5_K: return GgmlTypeTraits{"Q5_K", 256, 176};
    case GGML_TYPE_Q6_K: return GgmlTypeTraits{"Q6_K", 256, 210};
    case GGML_TYPE_Q8_K: return GgmlTypeTraits{"Q8_K", 256, 292};
    case GGML_TYPE_IQ2_XXS: return GgmlTypeTraits{"IQ2_XXS", 256, 66};
    case GGML_TYPE_IQ2_XS: return GgmlTypeTraits{"IQ2_XS", 256, 74};
    case GGML_TYPE_IQ3_XXS: return GgmlTypeTraits{"IQ3_XXS", 256, 98};
    case GGML_TYPE_IQ1_S: return GgmlTypeTraits{"IQ1_S", 256, 50};
    case GGML_TYPE_IQ4_NL: return GgmlTypeTraits{"IQ4_NL", 32, 18};
    case GGML_TYPE_IQ3_S: return GgmlTypeTraits{"IQ3_S", 256, 110};
    case GGML_TYPE_IQ2_S: return GgmlTypeTraits{"IQ2_S", 256, 82};
    case GGML_TYPE_IQ4_XS: return GgmlTypeTraits{"IQ4_XS", 256, 136};
    case GGML_TYPE_I8: return GgmlTypeTraits{"I8", 1, 1};
    case GGML_TYPE_I16: return GgmlTypeTraits{"I16", 1, 2};
    case GGML_TYPE_I32: return GgmlTypeTraits{"I32", 1, 4};
    case GGML_TYPE_I64: return GgmlTypeTraits{"I64", 1, 8};
    case GGML_TYPE_F64: return GgmlTypeTraits{"F64", 1, 8};
    case GGML_TYPE_IQ1_M: return GgmlTypeTraits{"IQ1_M", 256, 56};
    case GGML_TYPE_BF16: return GgmlTypeTraits{"BF16", 1, 2};
    case GGML_TYPE_TQ1_0: return GgmlTypeTraits{"TQ1_0", 256, 54};
    case GGML_TYPE_TQ2_0: return GgmlTypeTraits{"TQ2_0", 256, 66};
    case GGML_TYPE_MXFP4: return GgmlTypeTraits{"MXFP4", 32, 17};
    case GGML_TYPE_NVFP4: return GgmlTypeTraits{"NVFP4", 64, 36};
    case GGML_TYPE_Q1_0: return GgmlTypeTraits{"Q1_0", 128, 18};
    default: return std::nullopt;
  }
}

std::int64_t GgufValue::as_signed() const noexcept {
  switch (type) {
    case GGUF_TYPE_INT8: return static_cast<std::int8_t>(bits);
    case GGUF_TYPE_INT16: return static_cast<std::int16_t>(bits);
    case GGUF_TYPE_INT32: return static_cast<std::int32_t>(bits);
    default: return static_cast<std::int64_t>(bits);
  }
}

double GgufValue::as_double() const noexcept {
  if (type == GGUF_TYPE_FLOAT32) return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
  return std::bit_cast<double>(bits);
}

GgufValue GgufArray::scalar(std::uint64_t i) const noexcept {
  GgufValue value;
  value.type = element_type;
  const std::uint32_t size = gguf_type_size(element_type);
  std::memcpy(&value.bits, raw.data() + i * size, size);
  return value;
}

std::string_view GgufArray::string(std::uint64_t i) const noexcept {
  const std::uint64_t begin = i == 0 ? 0 : ends[i - 1];
  return std::string_view(text).substr(begin, ends[i] - begin);
}

const GgufKeyValue* GgufFile::find(std::string_view key) const noexcept {
  for (const GgufKeyValue& kv : metadata) {
    if (kv.key == key) return &kv;
  }
  return nullptr;
}

std::string size_text(std::uint64_t bytes) {
  char out[48];
  if (bytes < 1024) {
    std::snprintf(out, sizeof out, "%" PRIu64 " bytes", bytes);
  } else if (bytes < (1u << 20)) {
    std::snprintf(out, sizeof out, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(out, sizeof out, "%.0f MiB", static_cast<double>(bytes) / (1u << 20));
  }
  return out;
}

namespace {

// ---- where the bytes come from

class Source {
 public:
  virtual ~Source() = default;
  virtual std::uint64_t size() const = 0;
  // The whole content when it is already in memory, else nullptr.
  virtual const unsigned char* memory() const { return nullptr; }
  // Reads exactly n bytes at `offset`; on failure sets `errno_value` (0 when
  // the file ended early).
  virtual bool read(std::uint64_t offset, std::size_t n, unsigned char* out, int& errno_value) = 0;
};

class MemorySource final : public Source {
 public:
  explicit MemorySource(std::span<const unsigned char> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  const unsigned char* memory() const override { return bytes_.data(); }
  bool read(std::uint64_t offset, std::size_t n, unsigned char* out, int&) override {
    std::memcpy(out, bytes_.data() + offset, n);
    return true;
  }

 private:
  std::span<const unsigned char> bytes_;
};

class FileSource final : public Source {
 public:
  FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() override { ::close(fd_); }
  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t offset, std::size_t n, unsigned char* out, int& errno_value) override {
    while (n > 0) {
      const ssize_t got = ::pread(fd_, out, n, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        errno_value = got < 0 ? errno : 0;
        return false;
      }
      out += got;
      offset += static_cast<std::uint64_t>(got);
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  std::uint64_t size_;
};

// ---- the cursor

// Reads forward through a Source. take(n) needs n <= remaining(), which the
// parser checks first (so that it can name the field), and returns a pointer
// to the n bytes that stays valid until the next take. A file is read in
// windows of kWindow bytes, or of n when one field is larger.
class Cursor {
 public:
  static constexpr std::size_t kWindow = std::size_t{1} << 20;

  explicit Cursor(Source& source) : source_(source), size_(source.size()) {
    if (const unsigned char* all = source.memory()) {
      window_ = all;
      window_size_ = size_;
    }
  }

  std::uint64_t position() const noexcept { return position_; }
  std::uint64_t size() const noexcept { return size_; }
  std::uint64_t remaining() const noexcept { return size_ - position_; }
  int io_errno() const noexcept { return io_errno_; }

  // nullptr when the source failed to read (see io_errno()).
  const unsigned char* take(std::size_t n) {
    if (position_ >= window_start_ && position_ - window_start_ + n <= window_size_) {
      const unsigned char* p = window_ + (position_ - window_start_);
      position_ += n;
      return p;
    }
    return refill(n);
  }

 private:
  const unsigned char* refill(std::size_t n) {
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(std::max(n, kWindow), remaining()));
    if (buffer_.size() < length) buffer_.resize(length);
    if (!source_.read(position_, length, buffer_.data(), io_errno_)) return nullptr;
    window_ = buffer_.data();
    window_start_ = position_;
    window_size_ = length;
    position_ += n;
    return window_;
  }

  Source& source_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  const unsigned char* window_ = nullptr;
  std::uint64_t window_start_ = 0;
  std::uint64_t window_size_ = 0;
  std::vector<unsigned char> buffer_;
  int io_errno_ = 0;
};

// ---- the parser

class Parser {
 public:
  explicit Parser(Source& source) : cursor_(source) {}

  GgufResult<GgufFile> parse() {
    GgufFile file;
    file.file_size = cursor_.size();
    if (!read_header(file) || !read_metadata(file) || !read_alignment(file) || !read_tensors(file) ||
        !place_tensors(file)) {
      return std::unexpected(std::move(error_));
    }
    return file;
  }

 private:
  // ---- failures (cold: messages are built only here)

  // "key 'x' [3]: " or "tensor 'w': " or "header: ".
  std::string where() const {
    std::string out = subject_;
    for (const std::uint64_t i : indexes_) out += " [" + std::to_string(i) + "]";
    return out + ": ";
  }

  [[gnu::cold]] bool fail(std::string message) {
    error_ = GgufError{GgufError::Kind::kFormat, 0, Error::make(where() + std::move(message))};
    return false;
  }

  [[gnu::cold]] bool fail_io() {
    const int e = cursor_.io_errno();
    std::string message = e != 0 ? std::strerror(e) : "the file ended early (did it change while read?)";
    error_ = GgufError{GgufError::Kind::kFile, e, Error::make(std::move(message))};
    return false;
  }

  [[gnu::cold]] bool fail_past_end(std::string_view what, std::uint64_t needed) {
    return fail(std::string(what) + " at offset " + std::to_string(cursor_.position()) + " needs " +
                std::to_string(needed) + " bytes, " + std::to_string(cursor_.remaining()) +
                " remain in the file (" + size_text(cursor_.size()) + ")");
  }

  // ---- bytes

  // Checks that `n` bytes remain before anything reads or allocates them.
  bool need(std::uint64_t n, std::string_view what) {
    return n <= cursor_.remaining() || fail_past_end(what, n);
  }

  const unsigned char* take(std::uint64_t n, std::string_view what) {
    if (!need(n, what)) return nullptr;
    const unsigned char* p = cursor_.take(static_cast<std::size_t>(n));
    if (p == nullptr) fail_io();
    return p;
  }

  template <typename T>
  bool scalar(T& out, std::string_view what) {
    const unsigned char* p = take(sizeof(T), what);
    if (p == nullptr) return false;
    std::memcpy(&out, p, sizeof(T));
    return true;
  }

  // A uint64 count of items of at least `min_each` bytes, checked against the
  // bytes that remain.
  bool count(std::uint64_t& out, std::uint64_t min_each, std::string_view what) {
    const std::uint64_t at = cursor_.position();
    if (!scalar(out, what)) return false;
    if (min_each == 0 || out <= cursor_.remaining() / min_each) return true;
    return fail(std::string(what) + " " + std::to_string(out) + " at offset " + std::to_string(at) + " needs " +
                "at least " + std::to_string(min_each) + " bytes each, " + std::to_string(cursor_.remaining()) +
                " remain in the file (" + size_text(cursor_.size()) + ")");
  }

  // A string (uint64 length, bytes) that must be UTF-8, appended to `out`.
  bool string(std::string& out, std::string_view what) {
    std::uint64_t length = 0;
    if (!scalar(length, what)) return false;
    const std::uint64_t at = cursor_.position();
    const unsigned char* p = take(length, what);
    if (p == nullptr) return false;
    const std::string_view text(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
    if (!is_valid_utf8(text)) {
      return fail(std::string(what) + " at offset " + std::to_string(at) + " is not valid UTF-8");
    }
    out.append(text);
    return true;
  }

  // ---- sections

  bool read_header(GgufFile& file) {
    subject_ = "header";
    const unsigned char* magic = take(4, "magic");
    if (magic == nullptr) return false;
    if (std::memcmp(magic, GGUF_MAGIC.data(), 4) != 0) return fail("not a GGUF file (the magic is not \"GGUF\")");
    if (!scalar(file.version, "version")) return false;
    if (file.version == 0x02000000 || file.version == 0x03000000) {
      return fail("big-endian GGUF files are not supported");
    }
    if (file.version != 2 && file.version != 3) {
      return fail("GGUF version " + std::to_string(file.version) + " is not supported (2 and 3 are)");
    }
    // The smallest tensor record: name length, dimension count, type, offset.
    if (!count(tensor_count_, 8 + 4 + 4 + 8, "tensor count")) return false;
    if (tensor_count_ > kMaxTensors) {
      return fail(std::to_string(tensor_count_) + " tensors (at most " + std::to_string(kMaxTensors) + ")");
    }
    // The smallest key-value record: key length, value type, one byte.
    if (!count(kv_count_, 8 + 4 + 1, "key-value count")) return false;
    return kv_count_ <= kMaxKeyValues ||
           fail(std::to_string(kv_count_) + " keys (at most " + std::to_string(kMaxKeyValues) + ")");
  }

  bool read_metadata(GgufFile& file) {
    file.metadata.reserve(static_cast<std::size_t>(kv_count_));
    std::unordered_set<std::string> keys;
    for (std::uint64_t i = 0; i < kv_count_; ++i) {
      subject_ = "key-value record " + std::to_string(i);
      GgufKeyValue& kv = file.metadata.emplace_back();
      kv.start = cursor_.position();
      if (!string(kv.key, "key")) return false;
      subject_ = "key '" + kv.key + "'";
      if (!keys.insert(kv.key).second) return fail("duplicate key");
      if (!scalar(kv.value.type, "value type") || !value(kv.value, 0)) return false;
      kv.end = cursor_.position();
    }
    subject_.clear();
    return true;
  }

  bool known_value_type(std::uint32_t type) {
    return type < GGUF_TYPE_COUNT || fail("unknown value type " + std::to_string(type));
  }

  // The value of `out.type`, which has been read.
  bool value(GgufValue& out, unsigned depth) {
    if (!known_value_type(out.type)) return false;
    if (out.type == GGUF_TYPE_STRING) return string(out.text, "string");
    if (out.type == GGUF_TYPE_ARRAY) {
      out.array = std::make_unique<GgufArray>();
      return array(*out.array, depth + 1);
    }
    const std::uint32_t size = gguf_type_size(out.type);
    const unsigned char* p = take(size, gguf_type_name(out.type));
    if (p == nullptr) return false;
    std::memcpy(&out.bits, p, size);
    return out.type != GGUF_TYPE_BOOL || out.bits <= 1 || fail("bool value " + std::to_string(out.bits) + " is not 0 or 1");
  }

  bool array(GgufArray& out, unsigned depth) {
    if (depth > kMaxArrayDepth) return fail("arrays nested deeper than " + std::to_string(kMaxArrayDepth));
    if (!scalar(out.element_type, "array element type") || !known_value_type(out.element_type)) return false;
    const std::uint32_t fixed = gguf_type_size(out.element_type);
    const std::uint64_t min_each = out.element_type == GGUF_TYPE_STRING ? 8
                                   : out.element_type == GGUF_TYPE_ARRAY ? 12 : fixed;
    if (!count(out.count, min_each, "array length")) return false;
    if (fixed != 0) {
      const unsigned char* p = take(out.count * fixed, "array data");
      if (p == nullptr) return false;
      out.raw.assign(p, p + out.count * fixed);
      if (out.element_type == GGUF_TYPE_BOOL) {
        const auto bad = std::find_if(out.raw.begin(), out.raw.end(), [](unsigned char b) { return b > 1; });
        if (bad != out.raw.end()) {
          indexes_.push_back(static_cast<std::uint64_t>(bad - out.raw.begin()));
          return fail("bool value " + std::to_string(*bad) + " is not 0 or 1");
        }
      }
      return true;
    }
    if (out.element_type == GGUF_TYPE_ARRAY) {
      if (out.count > kMaxNestedArrays - nested_arrays_) {
        return fail("more than " + std::to_string(kMaxNestedArrays) + " arrays inside arrays");
      }
      nested_arrays_ += out.count;
    }
    indexes_.push_back(0);
    if (out.element_type == GGUF_TYPE_STRING) {
      out.ends.reserve(static_cast<std::size_t>(out.count));
      for (std::uint64_t i = 0; i < out.count; ++i) {
        indexes_.back() = i;
        if (!string(out.text, "string")) return false;
        out.ends.push_back(out.text.size());
      }
    } else {
      out.items.reserve(static_cast<std::size_t>(out.count));
      for (std::uint64_t i = 0; i < out.count; ++i) {
        indexes_.back() = i;
        GgufValue& item = out.items.emplace_back();
        item.type = GGUF_TYPE_ARRAY;
        item.array = std::make_unique<GgufArray>();
        if (!array(*item.array, depth + 1)) return false;
      }
    }
    indexes_.pop_back();
    return true;
  }

  bool read_alignment(GgufFile& file) {
    const GgufKeyValue* kv = file.find(GGUF_KEY_GENERAL_ALIGNMENT);
    if (kv == nullptr) return true;
    subject_ = "key '" + kv->key + "'";
    if (kv->value.type != GGUF_TYPE_UINT32) {
      return fail("must be a UINT32, not " + std::string(gguf_type_name(kv->value.type)));
    }
    file.alignment = static_cast<std::uint32_t>(kv->value.bits);
    if (!std::has_single_bit(file.alignment)) {
      return fail("alignment " + std::to_string(file.alignment) + " is not a power of two");
    }
    subject_.clear();
    return true;
  }

  bool read_tensors(GgufFile& file) {
    file.tensors.reserve(static_cast<std::size_t>(tensor_count_));
    std::unordered_set<std::string> names;
    for (std::uint64_t i = 0; i < tensor_count_; ++i) {
      subject_ = "tensor " + std::to_string(i);
      GgufTensorInfo& t = file.tensors.emplace_back();
      if (!string(t.name, "name")) return false;
      subject_ = "tensor '" + t.name + "'";
      if (!names.insert(t.name).second) return fail("duplicate tensor name");
      std::uint32_t n_dims = 0;
      if (!scalar(n_dims, "dimension count")) return false;
      if (n_dims > GGML_MAX_DIMS) {
        return fail(std::to_string(n_dims) + " dimensions (at most " + std::to_string(GGML_MAX_DIMS) + ")");
      }
      t.dims.resize(n_dims);
      for (std::uint64_t& d : t.dims) {
        if (!scalar(d, "dimension")) return false;
      }
      if (!scalar(t.type, "tensor type") || !scalar(t.offset, "data offset") || !size_tensor(t)) return false;
    }
    subject_.clear();
    return true;
  }

  bool size_tensor(GgufTensorInfo& t) {
    const std::optional<GgmlTypeTraits> traits = ggml_type_traits(t.type);
    if (!traits) return fail("unknown tensor type " + std::to_string(t.type));
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t elements = 1;
    for (const std::uint64_t d : t.dims) {
      if (d > kMax || __builtin_mul_overflow(elements, d, &elements) || elements > kMax) {
        return fail("shape has more than 2^63 elements");
      }
    }
    const std::uint64_t row = t.dims.empty() ? 1 : t.dims[0];
    if (row % traits->block_size != 0) {
      return fail("row length " + std::to_string(row) + " is not a multiple of the " + std::string(traits->name) +
                  " block size " + std::to_string(traits->block_size));
    }
    // elements / block_size blocks; no overflow since type_size < block_size * 8.
    if (__builtin_mul_overflow(elements / traits->block_size, traits->type_size, &t.nbytes)) {
      return fail("data size overflows");
    }
    return true;
  }

  bool place_tensors(GgufFile& file) {
    const std::uint64_t end_of_directory = cursor_.position();
    file.data_offset = end_of_directory + (file.alignment - end_of_directory % file.alignment) % file.alignment;
    std::vector<const GgufTensorInfo*> by_offset;
    by_offset.reserve(file.tensors.size());
    for (const GgufTensorInfo& t : file.tensors) {
      subject_ = "tensor '" + t.name + "'";
      if (t.offset % file.alignment != 0) {
        return fail("data offset " + std::to_string(t.offset) + " is not a multiple of the alignment " +
                    std::to_string(file.alignment));
      }
      std::uint64_t end = 0;
      if (__builtin_add_overflow(file.data_offset, t.offset, &end) || __builtin_add_overflow(end, t.nbytes, &end)) {
        return fail("data offset " + std::to_string(t.offset) + " is past any file");
      }
      if (end > file.file_size) {
        std::string ends = size_text(end), size = size_text(file.file_size);
        if (ends == size) {
          ends = std::to_string(end) + " bytes";
          size = std::to_string(file.file_size) + " bytes";
        }
        return fail("data ends at " + ends + ", file is " + size);
      }
      by_offset.push_back(&t);
    }
    std::sort(by_offset.begin(), by_offset.end(),
              [](const GgufTensorInfo* a, const GgufTensorInfo* b) { return a->offset < b->offset; });
    // `reach`: the tensor whose data ends furthest among those before.
    const GgufTensorInfo* reach = nullptr;
    for (const GgufTensorInfo* t : by_offset) {
      if (t->nbytes == 0) continue;
      if (reach != nullptr && reach->offset + reach->nbytes > t->offset) {
        subject_ = "tensor '" + t->name + "'";
        return fail("data overlaps that of tensor '" + reach->name + "'");
      }
      reach = t;
    }
    subject_.clear();
    return true;
  }

  Cursor cursor_;
  GgufError error_;
  std::string subject_;
  std::vector<std::uint64_t> indexes_;
  std::uint64_t tensor_count_ = 0;
  std::uint64_t kv_count_ = 0;
  std::uint64_t nested_arrays_ = 0;
};

}  // namespace

GgufResult<GgufFile> parse_gguf(std::span<const unsigned char> bytes) {
  MemorySource source(bytes);
  return Parser(source).parse();
}

GgufResult<GgufFile> read_gguf(const std::string& path) {
  auto file_error = [&path](int e) {
    return std::unexpected(GgufError{GgufError::Kind::kFile, e, Error::make(path + ": " + std::strerror(e))});
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return file_error(errno);
  struct stat st {};
  const int e = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : !S_ISREG(st.st_mode) ? EINVAL : 0;
  if (e != 0) {
    ::close(fd);
    return file_error(e);
  }
  FileSource source(fd, static_cast<std::uint64_t>(st.st_size));
  GgufResult<GgufFile> file = Parser(source).parse();
  if (!file) file.error().error.message = path + ": " + file.error().error.message;
  return file;
}

}  // namespace quorvane::gguf
