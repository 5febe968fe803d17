#include "Asic/Types.h"

namespace Asic {

SwTableBase::EntryHandle::~EntryHandle() = default;

SwTableBase::~SwTableBase() = default;

Asic::Index SwTableBase::getHwEntryIndex(Orrin::Ptr<EntryHandle const> const& handle) {
  return handle ? handle->hwIndex() : Index::kInvalid;
}

std::ostream& operator<<(std::ostream& os, SwTableBase::EntryState state) {
  switch (state) {
    case SwTableBase::EntryState::indexAcquired:
      return os << "indexAcquired";
    case SwTableBase::EntryState::indexReconciled:
      return os << "indexReconciled";
  }
  return os << static_cast<unsigned>(state);
}

}  // namespace Asic
