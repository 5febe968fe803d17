#include "tables/IfaPortSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaPortSwTable>;
