#include "tables/IfaEpRecircSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaEpRecirc>;
