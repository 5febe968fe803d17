#include "tables/IfaActionProfileSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaActionProfile>;
