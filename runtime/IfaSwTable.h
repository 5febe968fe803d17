// The generic IFA software table, instantiated once per table declaration.
//
// A table declaration (see runtime/TableDecl.h) carries what differs between
// tables: names, the entry's fields and the collections' hash constants.
#pragma once

namespace IfaRuntime {

template <class Decl>
class IfaSwTable {
 public:
  using Declaration = Decl;
  using Entry = typename Decl::Entry;

  static constexpr auto kName = Decl::kName;
  static constexpr auto kQualifiedName = Decl::kQualifiedName;
};

}  // namespace IfaRuntime
