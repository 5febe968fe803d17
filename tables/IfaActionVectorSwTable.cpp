#include "tables/IfaActionVectorSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaActionVector>;
