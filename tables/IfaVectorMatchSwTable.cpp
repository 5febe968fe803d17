#include "tables/IfaVectorMatchSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaVectorMatch>;
