// The result classes, generated from one description per class: its name, its
// docstring and its fields in declared order. A field is a getter bound to a
// record member; it has no setter, so assigning raises AttributeError.
#include "python/results.h"

#include <memory>
#include <new>
#include <type_traits>

#include "python/convert.h"
#include "python/errors.h"

namespace quorvane::py {

namespace {

template <typename T>
struct MemberOf;
template <typename Record, typename T>
struct MemberOf<T Record::*> {
  using record = Record;
};

template <auto Member>
PyObject* get_field(PyObject* self, void*) {
  using Record = typename MemberOf<decltype(Member)>::record;
  return guarded([&] {
    return to_py(reinterpret_cast<ResultObject<Record>*>(self)->record.*Member).release();
  });
}

template <auto Member>
constexpr PyGetSetDef field(const char* name) {
  return PyGetSetDef{name, &get_field<Member>, nullptr, "", nullptr};
}

constexpr PyGetSetDef kEnd{nullptr, nullptr, nullptr, nullptr, nullptr};

template <ResultKind K>
struct Describe;

template <>
struct Describe<ResultKind::kStats> {
  static constexpr const char* name = "quorvane.TokenizerStats";
  static constexpr const char* doc = "Tokenizer statistics";
  static inline PyGetSetDef fields[] = {
      field<&TokenizerStats::vocab_size>("vocab_size"),
      field<&TokenizerStats::merges_count>("merges_count"),
      field<&TokenizerStats::single_char_count>("single_char_count"),
      field<&TokenizerStats::special_token_count>("special_token_count"),
      field<&TokenizerStats::min_token_id>("min_token_id"),
      field<&TokenizerStats::max_token_id>("max_token_id"),
      field<&TokenizerStats::length_distribution>("length_distribution"),
      kEnd,
  };
};

template <>
struct Describe<ResultKind::kReindex> {
  static constexpr const char* name = "quorvane.ReindexResult";
  static constexpr const char* doc = "Result of reindex operation";
  static inline PyGetSetDef fields[] = {
      field<&ReindexRecord::vocab_size>("vocab_size"),
      field<&ReindexRecord::merges_count>("merges_count"),
      field<&ReindexRecord::old_min_id>("old_min_id"),
      field<&ReindexRecord::old_max_id>("old_max_id"),
      field<&ReindexRecord::new_min_id>("new_min_id"),
      field<&ReindexRecord::new_max_id>("new_max_id"),
      field<&ReindexRecord::ids_remapped>("ids_remapped"),
      field<&ReindexRecord::gaps_removed>("gaps_removed"),
      kEnd,
  };
};

template <>
struct Describe<ResultKind::kRemoval> {
  static constexpr const char* name = "quorvane.RemovalResult";
  static constexpr const char* doc = "Result of token removal";
  static inline PyGetSetDef fields[] = {
      field<&RemovalRecord::root_token>("root_token"),
      field<&RemovalRecord::removed_tokens>("removed_tokens"),
      field<&RemovalRecord::removed_merges>("removed_merges"),
      kEnd,
  };
};

template <>
struct Describe<ResultKind::kShrink> {
  static constexpr const char* name = "quorvane.ShrinkResult";
  static constexpr const char* doc = "Result of shrink operation";
  static inline PyGetSetDef fields[] = {
      field<&ShrinkRecord::initial_vocab_size>("initial_vocab_size"),
      field<&ShrinkRecord::initial_merges_count>("initial_merges_count"),
      field<&ShrinkRecord::final_vocab_size>("final_vocab_size"),
      field<&ShrinkRecord::final_merges_count>("final_merges_count"),
      field<&ShrinkRecord::tokens_removed_count>("tokens_removed_count"),
      field<&ShrinkRecord::total_tokens_removed>("total_tokens_removed"),
      field<&ShrinkRecord::total_merges_removed>("total_merges_removed"),
      kEnd,
  };
};

template <>
struct Describe<ResultKind::kMerge> {
  static constexpr const char* name = "quorvane.MergeTokenizerResult";
  static constexpr const char* doc = "Result of merging a source tokenizer into a target tokenizer";
  static inline PyGetSetDef fields[] = {
      field<&MergeRecord::initial_target_vocab_size>("initial_target_vocab_size"),
      field<&MergeRecord::source_vocab_size>("source_vocab_size"),
      field<&MergeRecord::final_model_vocab_size>("final_model_vocab_size"),
      field<&MergeRecord::final_vocab_size>("final_vocab_size"),
      field<&MergeRecord::tokens_injected>("tokens_injected"),
      field<&MergeRecord::target_tokens_removed>("target_tokens_removed"),
      field<&MergeRecord::bridge_tokens_added>("bridge_tokens_added"),
      field<&MergeRecord::bridge_merges_added>("bridge_merges_added"),
      field<&MergeRecord::source_merges_added>("source_merges_added"),
      field<&MergeRecord::target_merges_retained>("target_merges_retained"),
      field<&MergeRecord::representation>("representation"),
      kEnd,
  };
};

template <>
struct Describe<ResultKind::kValidation> {
  static constexpr const char* name = "quorvane.ValidationResult";
  static constexpr const char* doc = "Result of validating merges";
  static inline PyGetSetDef fields[] = {
      field<&ValidationReport::valid_count>("valid_count"),
      field<&ValidationReport::invalid_count>("invalid_count"),
      field<&ValidationReport::invalid_merges>("invalid_merges"),
      kEnd,
  };
};

template <>
struct Describe<ResultKind::kAddition> {
  static constexpr const char* name = "quorvane.AdditionResult";
  static constexpr const char* doc = "Result of token addition";
  static inline PyGetSetDef fields[] = {
      field<&AdditionRecord::token>("token"),
      field<&AdditionRecord::added>("added"),
      field<&AdditionRecord::method>("method"),
      field<&AdditionRecord::added_merges>("added_merges"),
      kEnd,
  };
};

template <>
struct Describe<ResultKind::kReachable> {
  static constexpr const char* name = "quorvane.ReachableAdditionResult";
  static constexpr const char* doc = "Result of adding a token so that the tokenizer produces it";
  static inline PyGetSetDef fields[] = {
      field<&ReachableRecord::token>("token"),
      field<&ReachableRecord::added>("added"),
      field<&ReachableRecord::reachable>("reachable"),
      field<&ReachableRecord::pieces>("pieces"),
      field<&ReachableRecord::added_tokens>("added_tokens"),
      field<&ReachableRecord::added_merges>("added_merges"),
      field<&ReachableRecord::reason>("reason"),
      kEnd,
  };
};

template <>
struct Describe<ResultKind::kExtend> {
  static constexpr const char* name = "quorvane.ExtendResult";
  static constexpr const char* doc = "Result of learning new tokens from counted words";
  static inline PyGetSetDef fields[] = {
      field<&ExtendRecord::words>("words"),
      field<&ExtendRecord::added_tokens>("added_tokens"),
      field<&ExtendRecord::added_merges>("added_merges"),
      field<&ExtendRecord::frequencies>("frequencies"),
      field<&ExtendRecord::moved_added_tokens>("moved_added_tokens"),
      kEnd,
  };
};

template <>
struct Describe<ResultKind::kPrune> {
  static constexpr const char* name = "quorvane.PruneResult";
  static constexpr const char* doc = "Result of pruning leaf tokens";
  static inline PyGetSetDef fields[] = {
      field<&PruneRecord::selected>("removed"),
      field<&PruneRecord::tokens_removed>("tokens_removed"),
      field<&PruneRecord::merges_removed>("merges_removed"),
      field<&PruneRecord::ids_remapped>("ids_remapped"),
      field<&PruneRecord::moved_added_tokens>("moved_added_tokens"),
      kEnd,
  };
};

// Instances come only from new_result; calling the class is refused.
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

template <typename Record>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<ResultObject<Record>*>(self)->record);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

template <ResultKind K>
PyType_Spec* spec() {
  using D = Describe<K>;
  using Record = typename RecordOf<K>::type;
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(D::doc)},
      {Py_tp_new, reinterpret_cast<void*>(&refuse_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Record>)},
      {Py_tp_getset, D::fields},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {
      D::name,
      static_cast<int>(sizeof(ResultObject<Record>)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      slots,
  };
  return &type_spec;
}

template <ResultKind K>
PyObject* make(ModuleState* state, typename RecordOf<K>::type&& record) {
  using Record = typename RecordOf<K>::type;
  static_assert(std::is_nothrow_move_constructible_v<Record>,
                "the record is moved into freshly allocated memory; a throwing move "
                "would leave an object that dealloc cannot destroy");
  PyTypeObject* type = state->result_types[static_cast<std::size_t>(K)];
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  ::new (&reinterpret_cast<ResultObject<Record>*>(self)->record) Record(std::move(record));
  return self;
}

}  // namespace

PyType_Spec* result_type_spec(ResultKind kind) {
  switch (kind) {
    case ResultKind::kValidation: return spec<ResultKind::kValidation>();
    case ResultKind::kAddition: return spec<ResultKind::kAddition>();
    case ResultKind::kRemoval: return spec<ResultKind::kRemoval>();
    case ResultKind::kShrink: return spec<ResultKind::kShrink>();
    case ResultKind::kMerge: return spec<ResultKind::kMerge>();
    case ResultKind::kStats: return spec<ResultKind::kStats>();
    case ResultKind::kReindex: return spec<ResultKind::kReindex>();
    case ResultKind::kReachable: return spec<ResultKind::kReachable>();
    case ResultKind::kExtend: return spec<ResultKind::kExtend>();
    case ResultKind::kPrune: return spec<ResultKind::kPrune>();
  }
  return nullptr;
}

PyObject* new_result(ModuleState* state, ValidationReport&& record) {
  return make<ResultKind::kValidation>(state, std::move(record));
}
PyObject* new_result(ModuleState* state, AdditionRecord&& record) {
  return make<ResultKind::kAddition>(state, std::move(record));
}
PyObject* new_result(ModuleState* state, RemovalRecord&& record) {
  return make<ResultKind::kRemoval>(state, std::move(record));
}
PyObject* new_result(ModuleState* state, ShrinkRecord&& record) {
  return make<ResultKind::kShrink>(state, std::move(record));
}
PyObject* new_result(ModuleState* state, MergeRecord&& record) {
  return make<ResultKind::kMerge>(state, std::move(record));
}
PyObject* new_result(ModuleState* state, TokenizerStats&& record) {
  return make<ResultKind::kStats>(state, std::move(record));
}
PyObject* new_result(ModuleState* state, ReindexRecord&& record) {
  return make<ResultKind::kReindex>(state, std::move(record));
}
PyObject* new_result(ModuleState* state, ReachableRecord&& record) {
  return make<ResultKind::kReachable>(state, std::move(record));
}

PyObject* new_result(ModuleState* state, ExtendRecord&& record) {
  return make<ResultKind::kExtend>(state, std::move(record));
}
PyObject* new_result(ModuleState* state, PruneRecord&& record) {
  return make<ResultKind::kPrune>(state, std::move(record));
}

}  // namespace quorvane::py
