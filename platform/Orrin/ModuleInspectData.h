// Orrin::ModuleInspectData: the runtime's registry of the type modules that
// libraries hand it at load.
//
// The registry reads each registered record from its bytes alone (the format
// of Kiva/TypeModule.h) and answers what a module declares: its types, their
// attributes, argument lists, bases, sizes and hooks. It knows nothing of the
// libraries' own classes; every operation on an object or value goes through
// the hooks that the record names (Orrin/Inspect.h).
//
// Value (below) holds one object or value of a registered type, or of a
// fundamental or platform scalar type, and drives it through those hooks:
// construction, get, set, member count, contains, call, get-if-present,
// whole-value comparison, iteration, and conversion from and to text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Kiva/Attr.h"
#include "Kiva/TypeModule.h"
#include "Orrin/Inspect.h"
#include "Orrin/Node.h"
#include "Orrin/Ptr.h"

namespace Kiva::GenericIfImpl {
struct GenericIfPtrInterfaceMethods;
}  // namespace Kiva::GenericIfImpl

namespace Orrin {

class ModuleInspectData {
 public:
  struct Type;
  struct Module;

  // A type as an attribute, argument, key or base names it.
  struct TypeRef {
    // As the record writes it: >= 0 an index into the module's referenced-type
    // list, < 0 a fundamental type (Kiva::FundamentalType); -1 for no type,
    // and for a type not named through a reference code (argument types,
    // which records name by text only, and a type's reference to itself).
    std::int16_t code = -1;
    // The module record and type number; a null module for a fundamental
    // type or a type known only by its name.
    TypeData type;
    // The qualified name; "none", "u8", "u32", "u64" or "bool" for the
    // fundamental types; empty when nothing is named.
    std::string_view name;

    bool named() const { return !name.empty(); }
    bool fundamental() const { return code < -1; }
  };

  struct Argument {
    std::string_view name;
    TypeRef type;
    bool optional = false;  // passed as a Kiva::Optional of its type
  };

  struct Attribute {
    Type const* owner = nullptr;
    std::uint16_t position = 0;  // in the module's attribute records
    std::uint16_t number = 0;
    std::string_view name;
    std::uint8_t kind = 0;
    std::uint8_t access = 0;
    std::uint8_t extra[2] = {0, 0};
    TypeRef valueType;  // value, or result of a function
    TypeRef keyType;    // of a collection; names nothing otherwise
    std::int16_t fieldPosition = -1;
    std::vector<Argument> args;

    // The handle that the type's hooks dispatch on.
    Kiva::KivaAttr handle() const;
    // Whether the type's inspectOperation serves the attribute.
    bool inspectable() const { return (access & Kiva::kAccessInspectable) != 0; }
    bool collection() const { return keyType.named(); }
    // A function: called with code 10 rather than read.
    bool function() const { return Kiva::isFunctionKind(kind); }
  };

  // The hooks of one type, resolved to functions; null where the type has none.
  struct Hooks {
    Inspect::NewEntityForDirFn newEntityForDir = nullptr;
    void const* unused = nullptr;
    // Slot 2: the value operations of a value type, the entity interface of
    // any other type.
    Inspect::InspectAtomicFnTable const* valueOperations = nullptr;
    Kiva::GenericIfImpl::GenericIfPtrInterfaceMethods const* entityInterface = nullptr;
    Inspect::ConstructFromCtorArgsFn constructFromCtorArgs = nullptr;
    Inspect::InspectOperationFn inspectOperation = nullptr;
    Inspect::GenericIfIteratorFn iterator = nullptr;
  };

  struct Type {
    Module const* module = nullptr;
    std::uint32_t number = 0;
    std::string_view name;
    std::uint16_t flags = 0;
    std::uint32_t sizeWords = 0;  // the size the record gives, in 32-bit words
    TypeRef base;
    std::vector<Argument> ctorArgs;
    std::vector<Attribute> attributes;
    Hooks hooks;

    bool valueType() const { return (flags & 0x0001) != 0; }
    bool abstract() const { return (flags & 0x0100) != 0; }
    TypeData typeData() const;
    TypeRef ref() const;
    Attribute const* attribute(std::string_view name) const;
    Attribute const* attribute(std::uint32_t number) const;
    // As above; throws std::invalid_argument naming the type when absent.
    Attribute const& at(std::string_view name) const;
    Attribute const& at(std::uint32_t number) const;
  };

  struct Module {
    Kiva::TypeModuleRecord const* record = nullptr;
    // The exported symbol that holds the record ("_<Module>_<id>_kivaModule")
    // and the module name and identifier read from it; all empty when the
    // record is not at the start of such a symbol.
    std::string symbol;
    std::string name;
    std::string id;
    std::vector<Type> types;
  };

  // Registers a library's type module; a module registered twice is kept once.
  static void loaded(Kiva::TypeModuleRecord const* module);
  // The records registered, in registration order.
  static std::vector<Kiva::TypeModuleRecord const*> modules();

  // The registered modules, decoded, in registration order. Decoded entries
  // stay valid for the life of the process.
  static std::vector<Module const*> loadedModules();
  // The decoded module of a registered record, or null.
  static Module const* module(Kiva::TypeModuleRecord const* record);
  // A type of a registered module by its qualified name, or null.
  static Type const* type(std::string_view qualifiedName);
  // The registered type a reference names, or null (fundamental types,
  // platform types whose modules are not registered, names only).
  static Type const* type(TypeData type);
  static Type const* type(TypeRef const& ref) { return type(ref.type); }

  // The name of a fundamental type code, or empty.
  static std::string_view fundamentalName(std::int16_t code);
  // Resolves a type reference of `record` (referenced-type index or
  // fundamental code) from the record's bytes.
  static TypeRef typeRef(Kiva::TypeModuleRecord const* record, std::int16_t code);
};

// One object or value held for the reflective runtime: an entity (a counted
// reference to a node), a value of a registered value type (built and
// destroyed through its value operations), or a scalar (a fundamental type,
// or one of the platform's plain scalar types: Asic::Index,
// Asic::SwTableBase::Index, Kiva::U1 to Kiva::U6).
class Value {
 public:
  using Attribute = ModuleInspectData::Attribute;
  using TypeRef = ModuleInspectData::TypeRef;

  struct Result;
  class Iteration;

  Value() = default;
  Value(Value&& other) noexcept;
  Value& operator=(Value&& other) noexcept;
  Value(Value const&) = delete;
  Value& operator=(Value const&) = delete;
  ~Value();

  // --- Making values ---
  // The default value of a type: a value type through its value operations
  // (inspectConstruct without a source), a scalar 0.
  static Value make(TypeRef const& type);
  // A value read from text: a value type through its decoding hook (its
  // errors pass on), a scalar from a decimal or 0x hex number (or true/false).
  static Value parse(TypeRef const& type, std::string_view text);
  static Value ofU32(std::uint32_t v);
  // Holds an entity node of a registered type, adding a use.
  static Value ofEntity(TypeRef const& type, Node* node);
  // A new object of a registered type: an entity through its construction
  // hook (genericIfConstructFromCtorArgs), a value through its value
  // operations. `args` holds one pointer per constructor argument.
  static Value construct(ModuleInspectData::Type const& type, void const* const* args = nullptr);
  // A new entity through the type's newEntityForDir hook (`ctorArgs` null
  // for none); the hook's errors pass on.
  static Value newEntity(ModuleInspectData::Type const& type, String const& name,
                         void const* ctorArgs = nullptr);

  // --- What it holds ---
  bool holds() const { return storage_ != nullptr; }
  TypeRef const& type() const { return type_; }
  bool entity() const { return entity_; }
  // The registered type, or null for a scalar.
  ModuleInspectData::Type const* decodedType() const { return ModuleInspectData::type(type_); }
  // The address the type's hooks take as their object: the node of an
  // entity, else the value's storage.
  void* object() const;
  // The address passed as an argument or operand: the counted reference of
  // an entity, else the value's storage.
  void const* argument() const { return storage_.get(); }
  Ptr<Node> node() const;
  template <class T>
  T const& as() const {
    return *static_cast<T const*>(static_cast<void const*>(storage_.get()));
  }
  // A scalar's number (a bool as 0 or 1); throws std::logic_error otherwise.
  std::uint64_t number() const;
  // The text form: a value type through its encoding hook, a scalar as a
  // decimal number (true/false for a bool), an entity as its type name.
  std::string text() const;

  // --- Operations through the type's inspectOperation hook ---
  Result get(Attribute const& a, Value const* key = nullptr) const;
  Result getIfPresent(Attribute const& a, Value const& key) const;
  Inspect::OpStatus set(Attribute const& a, Value const& v) const;
  Result memberCount(Attribute const& a) const;
  // Code 4: the collection core's allocated node slots, that is its members
  // plus the free slots it keeps for growth (never below the member count).
  Result secondSize(Attribute const& a) const;
  Result contains(Attribute const& a, Value const& key) const;
  // Call (10) with one argument per declared argument, in declared order.
  Result call(Attribute const& a, std::vector<Value const*> const& args = {}) const;
  // Whole-value operations (a handle that names no module).
  Result differsFromDefault() const;
  Result equal(Value const& other) const;
  Result less(Value const& other) const;
  // Any code with any handle; the result, if one is stored, is taken to be
  // of `resultType`.
  Result operation(Kiva::KivaAttr const& handle, std::uint8_t op, void const* operand,
                   void const* const* args, TypeRef const& resultType) const;

  // An iteration over a collection attribute through the type's
  // genericIfIterator hook, from the beginning or from `startKey`.
  Iteration iterate(Attribute const& a, Value const* startKey = nullptr) const;

 private:
  struct Storage;
  static Value empty(TypeRef const& type, bool entity);

  TypeRef type_;
  bool entity_ = false;
  bool constructed_ = false;
  std::unique_ptr<std::max_align_t[]> storage_;
  std::size_t bytes_ = 0;
};

// The status and, when the hook stored one, the value of an operation.
struct Value::Result {
  Inspect::OpStatus status = Inspect::statusNotSupported;
  std::optional<Value> value;  // empty unless the status is 0 and a value was stored
};

class Value::Iteration {
 public:
  Iteration(Iteration&& other) noexcept;
  Iteration& operator=(Iteration&&) = delete;
  ~Iteration();

  // Whether the hook gave an iterator (it gives none for an attribute that
  // is not a collection, or when no storage was available).
  bool started() const { return iterator_ != nullptr; }
  // Whether the iterator stands on a member (iterNonnull).
  bool atMember() const;
  Value key() const;
  // The current member's value; empty when iterObj reports none.
  std::optional<Value> object() const;
  void next();

 private:
  friend class Value;
  Iteration(Attribute const& a, void* iterator, Inspect::IterHooks const* hooks)
      : attr_(&a), handle_(a.handle()), iterator_(iterator), hooks_(hooks) {}

  Attribute const* attr_;
  Kiva::KivaAttr handle_;
  void* iterator_;
  Inspect::IterHooks const* hooks_;
};

}  // namespace Orrin
