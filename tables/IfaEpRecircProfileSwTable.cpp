#include "tables/IfaEpRecircProfileSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaEpRecircProfile>;
