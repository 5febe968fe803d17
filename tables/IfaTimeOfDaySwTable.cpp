#include "tables/IfaTimeOfDaySwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaTimeOfDay>;
