#include "tables/IfaSflowIngSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaSflowIngSwTable>;
