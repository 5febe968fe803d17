#include "tables/IfaSwitchIdSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaSwitchId>;
