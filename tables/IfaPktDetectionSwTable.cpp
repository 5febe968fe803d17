#include "tables/IfaPktDetectionSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaPktDetection>;
